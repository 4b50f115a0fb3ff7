// NativeStack: keeps the walk, and the Python code it runs, off the end of the native stack.
#ifndef TAVREL_NATIVE_STACK_H
#define TAVREL_NATIVE_STACK_H

#include <cstddef>
#include <cstdint>

namespace tavrel {

class NativeStack {
public:
    // Taken at the entry of dumps; raises RecursionError when even that
    // entry has too little stack left below it for Python code.
    NativeStack();

    // Before a container is entered: raises RecursionError when the stack
    // below is nearly used up, counting what enclosing calls (dumps called
    // from a conversion inside another dumps, say) have used already.
    void check() {
        if (here() < walk_limit_) recheck(walk_limit_);
    }

    // Before Python code of the caller's runs (matching hooks, __eq__,
    // __str__): ordinary code needs far more room than one walk level.
    void check_before_python() {
        if (here() < python_limit_) recheck(python_limit_);
    }

private:
    static uintptr_t here() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

    // Fails, unless the limits were provisional and the real ones allow it.
    void recheck(uintptr_t &limit);
    void set_limits(uintptr_t low, uintptr_t size);

    // All set by the constructor: stores made before the thread's first
    // measurement could not be dropped, and every call would pay for them.
    uintptr_t entry_;
    uintptr_t walk_limit_;
    uintptr_t python_limit_;
    // On the main thread the limits start near the thread's top, so that a
    // soft stack limit lowered since the thread's bounds were first looked
    // up is read again (one system call) only by calls that go deep.
    bool provisional_;
};

}  // namespace tavrel

#endif  // TAVREL_NATIVE_STACK_H
