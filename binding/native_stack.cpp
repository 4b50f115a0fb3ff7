#include "native_stack.h"

#include <pybind11/pybind11.h>

#include <algorithm>

#if defined(__linux__) || defined(__APPLE__) || defined(__unix__)
#include <pthread.h>
#endif

namespace tavrel {

uintptr_t NativeStack::measure_limit() const {
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
        // default thread stack can hold.
        constexpr uintptr_t kBudget = 256 * 1024;
        return entry_ > kBudget ? entry_ - kBudget : 1;
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
