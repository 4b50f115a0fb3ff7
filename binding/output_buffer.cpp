// The output buffer's growth and its handover as the result bytes object.
#include "output_buffer.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "errors.h"
#include "interpreter.h"

namespace tavrel {

namespace {

// The capacity that holds n more bytes after `used`.  Growing by half keeps
// the copies linear, and lets the C allocator hand a large output the memory
// the last one released (doubling would overshoot the size it remembers and
// take fresh, faulting pages every call).
size_t grown_capacity(size_t capacity, size_t used, size_t n) {
    const size_t limit = static_cast<size_t>(PY_SSIZE_T_MAX);
    if (n > limit - used) throw std::bad_alloc();
    size_t wanted = capacity + capacity / 2;
    if (wanted > limit) wanted = limit;
    return wanted < used + n ? used + n : wanted;
}

#if defined(__linux__)
// Outputs from this capacity on look at their new memory when they grow.
// Below it a call would pay for the check more than the faults cost.
constexpr size_t kFreshCheckFrom = size_t{1} << 20;

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it with EINVAL
#endif

uintptr_t page_size() { return static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)); }

// Whether the page at p (page aligned) is still unfaulted, as the tail a
// large block gains from mremap, or a heap top never touched, is.
bool unfaulted(uint8_t *page) {
    unsigned char resident = 1;
    return mincore(page, 1, &resident) == 0 && (resident & 1) == 0;
}

// Faults in [from, to) with one system call: payloads copied into fresh
// pages otherwise take each fault inside the copy, where glibc's
// `rep movsb` handles them at 0.6-0.7 of the speed of faulting them first.
bool fault_in_range(uint8_t *from, uint8_t *to) {
    return madvise(from, static_cast<size_t>(to - from), MADV_POPULATE_WRITE) == 0;
}
#endif

}  // namespace

// The heap storage, or the inline area before there is one.
uint8_t *OutputBuffer::start() const {
    return heap_ != nullptr ? interpreter::storage_data(heap_) : const_cast<uint8_t *>(inline_);
}

void OutputBuffer::grow(size_t n) {
    if (static_cast<size_t>(limit_ - pos_) >= n) return fault_in(n);
    const size_t used = size();
    const size_t capacity = static_cast<size_t>(limit_ - start());
    const size_t wanted = grown_capacity(capacity, used, n);
    if (heap_ == nullptr)
        heap_ = interpreter::storage_make(inline_, used, wanted);
    else
        interpreter::storage_resize(heap_, wanted);
    uint8_t *base = start();
    pos_ = base + used;
    end_ = limit_ = base + wanted;
#if defined(__linux__)
    if (wanted < kFreshCheckFrom) return;
    // The new memory past the old capacity is fresh when its first page is:
    // reserve then stops at the pages faulted in so far, and grow faults in
    // the next stretch ahead of the writes.
    const uintptr_t page = page_size();
    auto *first = reinterpret_cast<uint8_t *>((reinterpret_cast<uintptr_t>(base + capacity) + page - 1) & ~(page - 1));
    if (first + page <= limit_ && unfaulted(first)) {
        end_ = first;
        if (static_cast<size_t>(end_ - pos_) < n) fault_in(n);
    }
#endif
}

// Room for n more bytes in fresh pages below the capacity: faults in what
// they need and a stretch ahead, a thirty-second of the output within 64 KiB
// to 1 MiB (what is faulted in but never written adds to the call's peak).
void OutputBuffer::fault_in(size_t n) {
#if defined(__linux__)
    const uintptr_t page = page_size();
    const size_t ahead = std::min(std::max(size() / 32, size_t{64} << 10), size_t{1} << 20);
    const size_t room = static_cast<size_t>(limit_ - pos_);
    const uintptr_t wanted = reinterpret_cast<uintptr_t>(pos_ + n + std::min(ahead, room - n));
    uint8_t *to = std::min(limit_, reinterpret_cast<uint8_t *>((wanted + page - 1) & ~(page - 1)));
    // Should the kernel refuse, the rest faults in as it is written.
    end_ = fault_in_range(end_, to) ? to : limit_;
#else
    (void)n;
    end_ = limit_;
#endif
}

void OutputBuffer::release() {
    interpreter::storage_release(heap_);
    heap_ = nullptr;
}

PyObject *OutputBuffer::finish_heap() {
    const size_t used = size();
    void *block = heap_;
    heap_ = nullptr;
    pos_ = inline_;
    end_ = limit_ = inline_ + sizeof inline_;
    PyObject *bytes = interpreter::storage_finish(block, used);
    if (bytes == nullptr) fail_bytes();
    return bytes;
}

void OutputBuffer::fail_bytes() { throw std::runtime_error(kBytesAllocationText); }

}  // namespace tavrel
