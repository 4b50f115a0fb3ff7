// The interpreter access layer: what the binding needs from CPython or PyPy.
//
// Declared here, defined for each interpreter in interpreter_cpython.h and
// interpreter_pypy.h, so that the walk, the matching and the writers hold no
// interpreter conditionals.  Each implementation also defines:
//   kItemsAreNewReferences    ListItems and TupleItems hand out new references
//   kIntConversionsSkipIndex  PyLong_AsLong and its kind skip __index__, so
//                             the matching calls it first
//   kStackBudget              the native stack a dumps call may use below its
//                             entry, or 0 where only the thread's own bounds
//                             count (native_stack.cpp); stack_budget() is the
//                             part of it that applies at this call
//   kStripsTextSignature      a text signature at the start of a function's
//                             doc is taken off __doc__ (module.cpp)
//   kFreesOnLastRelease       dropping the last reference frees at once, one
//                             native frame per nesting level
//                             (decode_state.cpp takes deep values apart)
//   kExportPinsBuffer         a held buffer keeps its exporter from resizing
//                             (loads.cpp copies the input where it does not)
//   TAVREL_TRASHCAN_BEGIN/END a dealloc that frees nested objects without
//                             one native frame per level (decode_state.cpp)
#ifndef TAVREL_INTERPRETER_H
#define TAVREL_INTERPRETER_H

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavrel {
namespace interpreter {

// A Python error is pending; it is fetched once the walk has unwound.
struct PendingError;

// Throws the pending Python error out of the walk.
[[noreturn]] inline void raise_pending();

// What a caught PendingError leaves pending, made what the caller expects.
inline void settle_pending_error();

// The stored items of a list or tuple (or of a subclass), by position:
// size(seq); borrowed(seq, i), where items are borrowed references; and
// item(seq, i) as a new handle.  kCanChange: Python code may resize it.
struct ListItems;
struct TupleItems;

// The number of stored entries of a dict (or of a subclass).
inline Py_ssize_t dict_size(PyObject *dict);

// The stored entries of a dict in storage order: next(&key, &value) with
// borrowed references; check_unchanged(count) after Python code ran, which
// throws the interpreter's own error for a dict that changed; and
// hold_walked(held), called before Python code runs, which adds to held
// every key handed out since the last call (new references).
class DictEntries;

// The keys a dict's walk has handed out, once Python code ran during it;
// `walked` is where the walk stood when they were taken.
struct HeldKeys {
    Py_ssize_t walked = 0;
    std::vector<pybind11::object> keys;
};

// A str or bytes object (or subclass instance) whose stored contents the C
// API reads as they are: obj itself, or a copy of the exact type where the
// C API would size a subclass by its own __len__.  Its ptr() lives as long
// as the result.
inline auto stored_str(PyObject *obj);
inline auto stored_bytes(PyObject *obj);

// The UTF-8 form of a str and its size, or null with a Python error pending.
inline const char *str_utf8(PyObject *str, Py_ssize_t *size);

// The UTF-8 form and size of an exact str, where it can be had cheaply
// (CPython: a compact ASCII str, read in place); null, with no error
// pending, for any other object.
inline const char *ascii_chars(PyObject *obj, Py_ssize_t *size);

// The value of an exact int that fits one internal digit, read in place;
// false when it does not, or where the digits cannot be read.
inline bool compact_int(PyObject *obj, int64_t &out);

// The sign and magnitude of an exact int whose magnitude fits 64 bits, read
// from its digits in place; false when it does not fit, or where the digits
// cannot be read (the caller then asks the interpreter).
inline bool int_magnitude(PyObject *obj, bool &negative, uint64_t &magnitude);

// Whether obj is exactly the interpreter's builtin frozendict (CPython 3.15
// and later); always false where there is none.
inline bool is_frozen_dict(PyObject *obj);

// Whether the type of obj has __index__.
inline bool has_index(PyObject *obj);

// What the type's own __bool__ answers for obj: 1 or 0; -1 when the type
// has none, or when it failed (the error is then pending).
inline int own_truth(PyObject *obj);

// The output's storage once it outgrows its inline area (output_buffer.h),
// an opaque block: its bytes; a new block of `size` bytes that starts with
// the `used` bytes at `from`; the block grown to `size` bytes, contents
// kept; the block released.  make and resize throw std::bad_alloc; a failed
// resize leaves the block null or as it was, for release either way.
inline uint8_t *storage_data(void *block);
inline void *storage_make(const uint8_t *from, size_t used, size_t size);
inline void storage_resize(void *&block, size_t size);
inline void storage_release(void *block);

// The result bytes object of the block's first `used` bytes; the block is
// consumed.  Null, with MemoryError pending, when it cannot be made.
inline PyObject *storage_finish(void *block, size_t used);

// ---- What loads builds with --------------------------------------------------

// A new bytes object of p[0, n).
inline PyObject *new_bytes(const uint8_t *p, size_t n);

// A new str of n ASCII bytes.
inline PyObject *new_ascii_str(const uint8_t *p, size_t n);

// A new str of n bytes of valid UTF-8.
inline PyObject *new_utf8_str(const uint8_t *p, size_t n);

// A new list holding the n references at items, which it takes over (also
// when it cannot be made: they are released then).
inline PyObject *list_of(PyObject *const *items, size_t n);

// A new dict with room for n entries.
inline PyObject *new_dict(size_t n);

// The number of entries of a dict made by new_dict.
inline Py_ssize_t exact_dict_size(PyObject *dict);

// The unsigned big-endian integer of n bytes.
inline PyObject *int_from_be_bytes(const uint8_t *p, size_t n);

// The cyclic collector held off while a decode runs no Python code:
// pause() where that saves collections, resume() before any Python code
// may run (and on destruction), restoring what the collector was.
class CollectorPause;

}  // namespace interpreter
}  // namespace tavrel

#ifdef PYPY_VERSION
#include "interpreter_pypy.h"
#else
#include "interpreter_cpython.h"
#endif

#endif  // TAVREL_INTERPRETER_H
