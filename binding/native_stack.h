// Keeps a recursive walk from running off the end of the native stack.
#ifndef TAVREL_NATIVE_STACK_H
#define TAVREL_NATIVE_STACK_H

#include <cstddef>
#include <cstdint>

namespace tavrel {

class NativeStack {
public:
    NativeStack() : entry_(here()) {}

    // Raises RecursionError when the stack below the caller is nearly used up.
    // Shallow walks never pay for measuring the stack's bounds.
    void check() {
        const uintptr_t sp = here();
        if (sp + kFreeDepth > entry_) return;
        if (limit_ == 0) limit_ = measure_limit();
        if (sp < limit_) fail();
    }

private:
    // Stack the walk may use before the real bounds are looked up; smaller
    // than the smallest thread stack Python lets a program ask for.
    static constexpr uintptr_t kFreeDepth = 8 * 1024;

    static uintptr_t here() {
        return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    }

    uintptr_t measure_limit() const;
    [[noreturn]] static void fail();

    uintptr_t entry_;
    uintptr_t limit_ = 0;
};

}  // namespace tavrel

#endif  // TAVREL_NATIVE_STACK_H
