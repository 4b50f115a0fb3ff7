// OutputBuffer: the output of one dumps call, and the bytes object it becomes.
//
// Small outputs stay in an inline area and become the result with one copy;
// larger ones grow in place inside the bytes object that is returned, so
// every payload is copied exactly once.
#ifndef TAVREL_OUTPUT_BUFFER_H
#define TAVREL_OUTPUT_BUFFER_H

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tavrel {

class OutputBuffer {
public:
    OutputBuffer() : pos_(inline_), end_(inline_ + sizeof inline_), limit_(end_) {}
    ~OutputBuffer() {
        if (heap_ != nullptr) release();
    }
    OutputBuffer(const OutputBuffer &) = delete;
    OutputBuffer &operator=(const OutputBuffer &) = delete;

    // Room for n more bytes at the returned position; throws std::bad_alloc.
    uint8_t *reserve(size_t n) {
        if (static_cast<size_t>(end_ - pos_) < n) grow(n);
        return pos_;
    }
    void advance(size_t n) { pos_ += n; }
    // Everything up to `end`, inside the last reservation, is written.
    void commit(uint8_t *end) { pos_ = end; }

    // The bytes written so far, and the room left before the next call to
    // grow (which may find room in fresh pages it faults in ahead).
    size_t size() const { return static_cast<size_t>(pos_ - start()); }
    size_t room() const { return static_cast<size_t>(end_ - pos_); }

    void put(uint8_t byte) {
        reserve(1);
        *pos_++ = byte;
    }

    void append(const void *data, size_t n) {
        uint8_t *out = reserve(n);
        std::memcpy(out, data, n);
        pos_ = out + n;
    }

    // The bytes written, as a new bytes object; the buffer is empty afterwards.
    // A small output is copied out here: for one small value the call into
    // the out-of-line part would be a fair share of the whole.
    PyObject *finish() {
        if (heap_ != nullptr) return finish_heap();
        PyObject *bytes =
            PyBytes_FromStringAndSize(reinterpret_cast<const char *>(inline_), static_cast<Py_ssize_t>(pos_ - inline_));
        if (bytes == nullptr) fail_bytes();
        pos_ = inline_;
        return bytes;
    }

private:
    PyObject *finish_heap();
    // The interpreter's MemoryError stays pending under the RuntimeError.
    [[noreturn]] static void fail_bytes();
    void grow(size_t n);
    void fault_in(size_t n);
    void release();
    uint8_t *start() const;

    uint8_t *pos_;
    // Where reserve stops and calls grow: the capacity's end, or, while the
    // storage's tail is fresh, unfaulted memory, the end of the part faulted
    // in so far.
    uint8_t *end_;
    uint8_t *limit_;  // the capacity's end
    // Heap storage once the inline area is outgrown, kept by the interpreter
    // access layer: the result bytes object itself under CPython, a malloc
    // block under PyPy (whose bytes objects cannot be resized in place).
    void *heap_ = nullptr;
    uint8_t inline_[512];
};

}  // namespace tavrel

#endif  // TAVREL_OUTPUT_BUFFER_H
