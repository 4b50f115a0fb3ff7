/* See failalloc.h. */
#include "failalloc.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>

#define EXPORT __attribute__((visibility("default")))

static int armed;
static long fail_at;
static size_t threshold;
static int sticky_failure;
static long seen;
static long failed;
static long live;

EXPORT void failalloc_arm(long k, size_t min_size, int sticky) {
    __atomic_store_n(&seen, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&failed, 0, __ATOMIC_SEQ_CST);
    fail_at = k;
    threshold = min_size;
    sticky_failure = sticky;
    __atomic_store_n(&armed, 1, __ATOMIC_SEQ_CST);
}

EXPORT long failalloc_disarm(void) {
    __atomic_store_n(&armed, 0, __ATOMIC_SEQ_CST);
    return __atomic_load_n(&seen, __ATOMIC_SEQ_CST);
}

EXPORT long failalloc_seen(void) { return __atomic_load_n(&seen, __ATOMIC_SEQ_CST); }
EXPORT long failalloc_failed(void) { return __atomic_load_n(&failed, __ATOMIC_SEQ_CST); }
EXPORT long failalloc_live(void) { return __atomic_load_n(&live, __ATOMIC_SEQ_CST); }

/* Decides the fate of one allocation request of size bytes. */
static int should_fail(size_t size) {
    if (!__atomic_load_n(&armed, __ATOMIC_SEQ_CST) || size < threshold) return 0;
    const long n = __atomic_add_fetch(&seen, 1, __ATOMIC_SEQ_CST);
    if (fail_at <= 0) return 0;
    if (n == fail_at || (sticky_failure && n > fail_at)) {
        __atomic_add_fetch(&failed, 1, __ATOMIC_SEQ_CST);
        errno = ENOMEM;
        return 1;
    }
    return 0;
}

static size_t product(size_t a, size_t b) { return (b != 0 && a > SIZE_MAX / b) ? SIZE_MAX : a * b; }

#ifdef FAILALLOC_WRAP

void *__real_malloc(size_t);
void *__real_calloc(size_t, size_t);
void *__real_realloc(void *, size_t);
void __real_free(void *);

void *__wrap_malloc(size_t size) {
    if (should_fail(size)) return NULL;
    void *p = __real_malloc(size);
    if (p) __atomic_add_fetch(&live, 1, __ATOMIC_SEQ_CST);
    return p;
}

void *__wrap_calloc(size_t n, size_t size) {
    if (should_fail(product(n, size))) return NULL;
    void *p = __real_calloc(n, size);
    if (p) __atomic_add_fetch(&live, 1, __ATOMIC_SEQ_CST);
    return p;
}

void *__wrap_realloc(void *old, size_t size) {
    if (should_fail(size)) return NULL;
    void *p = __real_realloc(old, size);
    if (p && !old) __atomic_add_fetch(&live, 1, __ATOMIC_SEQ_CST);
    return p;
}

void __wrap_free(void *p) {
    if (p) __atomic_sub_fetch(&live, 1, __ATOMIC_SEQ_CST);
    __real_free(p);
}

#else /* LD_PRELOAD form: glibc's own entry points do the real work. */

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);

EXPORT void *malloc(size_t size) { return should_fail(size) ? NULL : __libc_malloc(size); }
EXPORT void *calloc(size_t n, size_t size) { return should_fail(product(n, size)) ? NULL : __libc_calloc(n, size); }
EXPORT void *realloc(void *old, size_t size) { return should_fail(size) ? NULL : __libc_realloc(old, size); }

#endif
