// The bounds of each thread's native stack, and the limits a dumps call keeps to.
#include "native_stack.h"

#include <pybind11/pybind11.h>

#include <algorithm>

#if defined(__linux__) || defined(__APPLE__) || defined(__unix__)
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "errors.h"
#include "interpreter.h"

namespace tavrel {

namespace {

constexpr uintptr_t kKiB = 1024;
constexpr uintptr_t kMiB = 1024 * kKiB;

// With `ulimit -s unlimited` the main thread's stack is reported as the
// whole gap below it, tens of TiB: a self-containing list would recurse
// until memory ran out.  No walk needs more than this.
constexpr uintptr_t kLargestStack = 64 * kMiB;

// Where a thread's bounds cannot be found: a budget every supported
// platform's default thread stack can hold.
constexpr uintptr_t kUnknownBudget = 256 * kKiB;

// How far below the main thread's top its calls may go before the soft
// stack limit is read again.  A fixed mark, not one below each call's entry:
// a chain of calls, each entered from Python code run by the one before,
// would otherwise never read it.
constexpr uintptr_t kProvisional = 256 * kKiB;

struct ThreadStack {
    uintptr_t low = 0;
    uintptr_t size = 0;  // 0: unknown
    bool main = false;
};

ThreadStack measure() {
    ThreadStack stack;
#if defined(__APPLE__)
    const uintptr_t high = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(pthread_self()));
    stack.size = pthread_get_stacksize_np(pthread_self());
    stack.low = high - stack.size;
    stack.main = pthread_main_np() != 0;
#elif defined(__linux__) || defined(__unix__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void *addr = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
            stack.low = reinterpret_cast<uintptr_t>(addr);
            stack.size = size;
        }
        pthread_attr_destroy(&attr);
    }
#if defined(__linux__)
    stack.main = getpid() == static_cast<pid_t>(syscall(SYS_gettid));
#endif
#endif
    if (stack.low == 0) stack.size = 0;
    if (stack.size > kLargestStack) {
        stack.low += stack.size - kLargestStack;
        stack.size = kLargestStack;
    }
    return stack;
}

// The limits every call on a thread starts from, relative to the thread's
// own stack; those of a thread whose bounds are unknown depend on the entry.
enum class Limits : uint8_t { kUnmeasured, kFixed, kProvisional, kUnknown };

struct ThreadLimits {
    ThreadStack stack;
    uintptr_t walk = 0;
    uintptr_t python = 0;
    Limits kind = Limits::kUnmeasured;
};

// A thread's stack never moves, so its bounds and limits are found once: on
// the main thread the lookup reads /proc/self/maps, far too slow for every
// call.  Zero-initialised, so reading it needs no guard; unmeasured until
// the thread's first call.
thread_local ThreadLimits this_thread;

const ThreadStack &thread_stack() { return this_thread.stack; }

// The main thread's stack as the soft limit allows it now: the kernel
// refuses to grow it past the limit, whenever that was lowered.
uintptr_t current_main_size(uintptr_t measured) {
#if defined(__linux__) || defined(__unix__) || defined(__APPLE__)
    struct rlimit limit;
    if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < static_cast<rlim_t>(measured))
        return static_cast<uintptr_t>(limit.rlim_cur);
#endif
    return measured;
}

// The walk keeps a reserve for raising its error and for the small calls a
// level makes; Python code gets room for ordinary recursion (repr of a few
// hundred nested lists, say).
void limits_of(uintptr_t low, uintptr_t size, uintptr_t &walk, uintptr_t &python) {
    walk = low + std::min(std::max(64 * kKiB, size / 8), size / 2);
    python = low + std::min(size / 2, std::max(256 * kKiB, size / 4));
}

void measure_limits(ThreadLimits &thread) {
    const ThreadStack stack = measure();
    thread.stack = stack;
    if (stack.size == 0) {
        thread.kind = Limits::kUnknown;
        return;
    }
    limits_of(stack.low, stack.size, thread.walk, thread.python);
    thread.kind = Limits::kFixed;
    if (stack.main) {
        // Calls entered below the mark read the limit (one system call) at
        // their first check.
        const uintptr_t mark = stack.low + stack.size - std::min(kProvisional, stack.size);
        thread.walk = std::max(thread.walk, mark);
        thread.python = std::max(thread.python, mark);
        thread.kind = Limits::kProvisional;
    }
}

[[noreturn]] void fail() {
    PyErr_SetString(PyExc_RecursionError, kStackErrorText);
    throw pybind11::error_already_set();
}

}  // namespace

NativeStack::NativeStack() : entry_(here()) {
    ThreadLimits &thread = this_thread;
    if (__builtin_expect(thread.kind == Limits::kUnmeasured, 0)) measure_limits(thread);
    walk_limit_ = thread.walk;
    python_limit_ = thread.python;
    provisional_ = thread.kind == Limits::kProvisional;
    if (thread.kind == Limits::kUnknown) {
        const uintptr_t low = entry_ > kUnknownBudget ? entry_ - kUnknownBudget : 1;
        set_limits(low, kUnknownBudget);
    }
    if constexpr (interpreter::kStackBudget != 0) {
        const uintptr_t size = interpreter::stack_budget();
        const uintptr_t budget = entry_ > size ? entry_ - size : 1;
        walk_limit_ = std::max(walk_limit_, budget);
        python_limit_ = std::max(python_limit_, budget);
        provisional_ = false;
    }
}

void NativeStack::set_limits(uintptr_t low, uintptr_t size) { limits_of(low, size, walk_limit_, python_limit_); }

void NativeStack::recheck(uintptr_t &limit) {
    if (provisional_) {
        provisional_ = false;
        const ThreadStack &stack = thread_stack();
        const uintptr_t top = stack.low + stack.size;
        const uintptr_t size = current_main_size(stack.size);
        set_limits(top - size, size);
        if (here() >= limit) return;
    }
    fail();
}

}  // namespace tavrel
