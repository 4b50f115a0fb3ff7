// Keeps a recursive walk from running off the end of the native stack.
#ifndef TAVREL_NATIVE_STACK_H
#define TAVREL_NATIVE_STACK_H

#include <cstddef>
#include <cstdint>

namespace tavrel {

class NativeStack {
public:
    NativeStack() : limit_(lowest_allowed(here())) {}

    // Raises RecursionError when the stack below the caller is nearly used
    // up, including what enclosing calls (dumps called from a conversion
    // inside another dumps, say) have used already.
    void check() const {
        if (here() < limit_) fail();
    }

private:
    static uintptr_t here() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

    // The lowest stack address a walk entered at `entry` may reach.
    static uintptr_t lowest_allowed(uintptr_t entry);
    // The same bound from the thread's stack alone; looked up once per thread.
    static uintptr_t thread_limit();
    static uintptr_t measure_thread_limit();
    [[noreturn]] static void fail();

    uintptr_t limit_;
};

}  // namespace tavrel

#endif  // TAVREL_NATIVE_STACK_H
