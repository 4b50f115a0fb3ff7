#include "native_stack.h"

#include <pybind11/pybind11.h>

#include <algorithm>

#if defined(__linux__) || defined(__APPLE__) || defined(__unix__)
#include <pthread.h>
#endif

namespace tavrel {

uintptr_t NativeStack::lowest_allowed(uintptr_t entry) {
    uintptr_t limit = thread_limit();
#ifdef PYPY_VERSION
    // PyPy checks its own stack against a budget well below the thread's
    // (under a megabyte at the default recursion limit), and a C API call
    // that trips it cannot always report the error.  Stay well inside it.
    constexpr uintptr_t kPyPyBudget = 256 * 1024;
    limit = std::max<uintptr_t>(limit, entry > kPyPyBudget ? entry - kPyPyBudget : 1);
#else
    (void)entry;
#endif
    return limit;
}

uintptr_t NativeStack::thread_limit() {
    // A thread's stack never moves, so its bound is found once: on the main
    // thread the lookup reads /proc/self/maps, far too slow for every call.
    thread_local const uintptr_t limit = measure_thread_limit();
    return limit;
}

uintptr_t NativeStack::measure_thread_limit() {
    uintptr_t low = 0;
    size_t size = 0;
#if defined(__APPLE__)
    const uintptr_t high = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(pthread_self()));
    size = pthread_get_stacksize_np(pthread_self());
    low = high - size;
#elif defined(__linux__) || defined(__unix__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void *addr = nullptr;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0) low = reinterpret_cast<uintptr_t>(addr);
        pthread_attr_destroy(&attr);
    }
#endif
    if (low == 0 || size == 0) {
        // Bounds unknown: allow a budget that every supported platform's
        // default thread stack can hold, below where this thread is now.
        constexpr uintptr_t kBudget = 256 * 1024;
        const uintptr_t now = here();
        return now > kBudget ? now - kBudget : 1;
    }
    // Keep a reserve for the Python code a conversion may run (__index__,
    // __bool__, __str__ ...) and for raising the error itself.
    const uintptr_t reserve = std::max<uintptr_t>(64 * 1024, size / 8);
    return low + std::min<uintptr_t>(reserve, size / 2);
}

void NativeStack::fail() {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while encoding a nested value");
    throw pybind11::error_already_set();
}

}  // namespace tavrel
