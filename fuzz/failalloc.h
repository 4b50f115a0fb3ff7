/* Allocation-failure shim: after arming, the k-th malloc/calloc/realloc of
 * at least min_size bytes fails (and, when sticky, every later one too).
 * Built two ways from failalloc.c:
 *   - as a shared library for LD_PRELOAD (defines malloc, calloc, realloc);
 *   - with -DFAILALLOC_WRAP, linked with -Wl,--wrap=malloc,--wrap=calloc,
 *     --wrap=realloc,--wrap=free, which also counts live blocks, so a test
 *     can tell a leak on every path (the sanitizers still see each call). */
#ifndef TAVREL_FAILALLOC_H
#define TAVREL_FAILALLOC_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* k = 0 counts without failing. */
void failalloc_arm(long k, size_t min_size, int sticky);
/* Stops failing; returns the number of matching allocations seen while armed. */
long failalloc_disarm(void);
/* Matching allocations seen, and failures injected, since the last arming. */
long failalloc_seen(void);
long failalloc_failed(void);
/* Blocks allocated and not yet freed (wrapped build only; 0 otherwise). */
long failalloc_live(void);

#ifdef __cplusplus
}
#endif

#endif
