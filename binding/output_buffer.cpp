// The output buffer's growth and its handover as the result bytes object.
#include "output_buffer.h"

#include <new>
#include <stdexcept>

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

}  // namespace

// The heap storage, or the inline area before there is one.
uint8_t *OutputBuffer::start() const {
    return heap_ != nullptr ? interpreter::storage_data(heap_) : const_cast<uint8_t *>(inline_);
}

void OutputBuffer::grow(size_t n) {
    const size_t used = size();
    const size_t wanted = grown_capacity(static_cast<size_t>(end_ - start()), used, n);
    if (heap_ == nullptr)
        heap_ = interpreter::storage_make(inline_, used, wanted);
    else
        interpreter::storage_resize(heap_, wanted);
    uint8_t *base = start();
    pos_ = base + used;
    end_ = base + wanted;
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
    end_ = inline_ + sizeof inline_;
    PyObject *bytes = interpreter::storage_finish(block, used);
    if (bytes == nullptr) fail_bytes();
    return bytes;
}

void OutputBuffer::fail_bytes() { throw std::runtime_error(kBytesAllocationText); }

}  // namespace tavrel
