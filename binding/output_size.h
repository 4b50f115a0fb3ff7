// The exact output size of a list or tuple of large strs and bytes, known
// before anything is written.
//
// Such an output is then allocated once at its final size, as a copy of it
// would be: growing it instead copies it whenever the C allocator cannot
// extend the block in place, and maps fresh pages whenever the grown size
// passes the size the allocator last released.
#ifndef TAVREL_OUTPUT_SIZE_H
#define TAVREL_OUTPUT_SIZE_H

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "cbor_encoding.hpp"
#include "interpreter.h"

namespace tavrel {

// Sizing pays only when items are large: on lists of short strings the
// pass would be a fair share of the encoding itself.
constexpr Py_ssize_t kSizingProbeItems = 16;
constexpr size_t kSizingProbeBytes = kSizingProbeItems * 1024;

// The UTF-8 length of a str, from the form the walk then writes: a compact
// ASCII str's own data, or the form the str caches (made here if need be).
inline bool str_size(PyObject *str, size_t &size) {
    Py_ssize_t length = 0;
    if (interpreter::str_utf8(str, &length) == nullptr) {
        // The walk meets the same refusal and raises it.
        PyErr_Clear();
        return false;
    }
    size = static_cast<size_t>(length);
    return true;
}

// The output's size when `seq` holds only exact strs and bytes, and those
// are large; otherwise 0.  Writing them runs no Python code, so the list
// cannot change between sizing and writing.
template <typename Items, bool Indefinite>
size_t bulk_output_size(PyObject *seq) {
    if constexpr (interpreter::kItemsAreNewReferences) {
        // Items handed out one by one as new objects would be made twice.
        (void)seq;
        return 0;
    } else {
        const Py_ssize_t count = Items::size(seq);
        size_t total = Indefinite ? 2 : head_size(static_cast<uint64_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (i == kSizingProbeItems && total < kSizingProbeBytes) return 0;
            PyObject *item = Items::borrowed(seq, i);
            size_t size;
            if (Py_TYPE(item) == &PyBytes_Type)
                size = static_cast<size_t>(PyBytes_GET_SIZE(item));
            else if (Py_TYPE(item) != &PyUnicode_Type || !str_size(item, size))
                return 0;
            total += head_size(size) + size;
        }
        // The last string reserves room for the widest head before its own.
        return total < kSizingProbeBytes ? 0 : total + kMaxHead;
    }
}

// The fewest bytes a container of `count` items takes: its head (or its
// start and break) and a byte for each of its `per_item` parts.
template <bool Indefinite>
size_t container_floor(Py_ssize_t count, size_t per_item) {
    const size_t items = static_cast<size_t>(count);
    return (Indefinite ? 2 : head_size(items)) + per_item * items;
}

// The output size of the last long list, tuple or dict at the top, kept in
// the module's state.
using SizeHint = std::atomic<size_t>;

// The last such output's size when it lies between `floor` and
// kHintOverFloor times it, else 0.  A call repeated on the same value then
// makes one block of the final size, which glibc carves from the hole the
// last result left; growing instead passes the mmap threshold that freeing
// the last result set, and maps fresh pages every call.  The room of one
// more head is added (to a floor too): the writers reserve the largest head
// an item can take before writing it, and an output that fills its
// reservation exactly would otherwise still grow at its last item.
constexpr size_t kHintOverFloor = 16;

inline size_t hinted_size(size_t floor, const SizeHint &hint) {
    const size_t last = hint.load(std::memory_order_relaxed);
    return last >= floor && last / kHintOverFloor <= floor ? last + kMaxHead : 0;
}

// What a long list or tuple reserves at once: the hinted size, or its floor.
template <bool Indefinite>
size_t sequence_reservation(Py_ssize_t count, const SizeHint &hint) {
    const size_t floor = container_floor<Indefinite>(count, 1);
    const size_t hinted = hinted_size(floor, hint);
    return hinted != 0 ? hinted : floor + kMaxHead;
}

// A long dict takes no floor (two bytes an entry would move a block past
// glibc's threshold on a first call, to a peak of 1.8 times its output), only
// the hinted size: a key and a value, a byte each, make its floor.
template <bool Indefinite>
size_t dict_reservation(Py_ssize_t count, const SizeHint &hint) {
    return hinted_size(container_floor<Indefinite>(count, 2), hint);
}

}  // namespace tavrel

#endif  // TAVREL_OUTPUT_SIZE_H
