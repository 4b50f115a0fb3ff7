// The output buffer's growth and its handover as the result bytes object.
#include "output_buffer.h"

#include <cstdlib>
#include <new>
#include <stdexcept>

#include "errors.h"

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

#ifdef PYPY_VERSION

uint8_t *OutputBuffer::start() const {
    return heap_ != nullptr ? static_cast<uint8_t *>(heap_) : const_cast<uint8_t *>(inline_);
}

void OutputBuffer::grow(size_t n) {
    const size_t used = size();
    const size_t wanted = grown_capacity(static_cast<size_t>(end_ - start()), used, n);
    void *block = heap_ != nullptr ? std::realloc(heap_, wanted) : std::malloc(wanted);
    if (block == nullptr) throw std::bad_alloc();
    if (heap_ == nullptr) std::memcpy(block, inline_, used);
    heap_ = block;
    pos_ = static_cast<uint8_t *>(block) + used;
    end_ = static_cast<uint8_t *>(block) + wanted;
}

void OutputBuffer::release() {
    std::free(heap_);
    heap_ = nullptr;
}

PyObject *OutputBuffer::finish() {
    PyObject *bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(start()), static_cast<Py_ssize_t>(size()));
    release();
    pos_ = inline_;
    end_ = inline_ + sizeof inline_;
    // The interpreter's MemoryError stays pending under the RuntimeError.
    if (bytes == nullptr) throw std::runtime_error(kBytesAllocationText);
    return bytes;
}

#else

// Outputs from this size on keep a short tail (see finish()).
constexpr size_t kLargeOutput = 256 * 1024;

// The bytes object's own storage, or the inline area before there is one.
uint8_t *OutputBuffer::start() const {
    return heap_ != nullptr ? reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(static_cast<PyObject *>(heap_)))
                            : const_cast<uint8_t *>(inline_);
}

void OutputBuffer::grow(size_t n) {
    const size_t used = size();
    const size_t wanted = grown_capacity(static_cast<size_t>(end_ - start()), used, n);
    if (heap_ == nullptr) {
        PyObject *bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(wanted));
        if (bytes == nullptr) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
        std::memcpy(PyBytes_AS_STRING(bytes), inline_, used);
        heap_ = bytes;
    } else {
        PyObject *bytes = static_cast<PyObject *>(heap_);
        // On failure the object is gone and MemoryError is set.
        heap_ = nullptr;
        if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(wanted)) < 0) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
        heap_ = bytes;
    }
    uint8_t *base = start();
    pos_ = base + used;
    end_ = base + wanted;
}

void OutputBuffer::release() {
    Py_XDECREF(static_cast<PyObject *>(heap_));
    heap_ = nullptr;
}

PyObject *OutputBuffer::finish() {
    const size_t used = size();
    PyObject *bytes = static_cast<PyObject *>(heap_);
    heap_ = nullptr;
    pos_ = inline_;
    end_ = inline_ + sizeof inline_;
    if (bytes == nullptr) {
        bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(inline_), static_cast<Py_ssize_t>(used));
    } else if (used < kLargeOutput || static_cast<size_t>(PyBytes_GET_SIZE(bytes)) - used > used / 2) {
        if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(used)) < 0) bytes = nullptr;
    } else {
        // A tail up to half the output is kept rather than given back: the
        // C allocator then remembers the whole block, and the next output
        // of this size reuses it instead of mapping fresh pages.  Pages of
        // the tail that were never written take no memory.
#if PY_VERSION_HEX >= 0x03090000
        Py_SET_SIZE(bytes, static_cast<Py_ssize_t>(used));
#else
        Py_SIZE(bytes) = static_cast<Py_ssize_t>(used);
#endif
        PyBytes_AS_STRING(bytes)[used] = '\0';
    }
    // The interpreter's MemoryError stays pending under the RuntimeError.
    if (bytes == nullptr) throw std::runtime_error(kBytesAllocationText);
    return bytes;
}

#endif

}  // namespace tavrel
