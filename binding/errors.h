// Every text the module raises, and the errors built from them (errors.cpp).
//
// In one place, since callers match on the texts.
#ifndef TAVREL_ERRORS_H
#define TAVREL_ERRORS_H

#include <Python.h>

#include <cstddef>

#include "cbor_decoding.hpp"

namespace tavrel {

// A value, element, key or dict value that matches no alternative, or a str
// or float whose contents cannot be read.
inline constexpr const char *kCastErrorText =
    "Unable to cast Python instance to C++ type (compile in debug mode for details)";

// Followed directly by at most 40 bytes of the value's str().
inline constexpr const char *kIntegerRangeText = "dumps received an integer out of range for both int64_t and uint64_t";

// Followed directly by the configured max_depth.
inline constexpr const char *kDepthErrorText = "Exceeded recursion limit:";

inline constexpr const char *kBytesContentsText = "Unable to extract bytes contents!";
inline constexpr const char *kBytesAllocationText = "Could not allocate bytes object!";

// RecursionError of nested Tags repr'd, compared or hashed near the end of the native stack.
inline constexpr const char *kTagRecursionText = "maximum recursion depth exceeded in nested Tags";

// RecursionError of the native stack guard.
inline constexpr const char *kStackErrorText = "maximum recursion depth exceeded while encoding a nested value";

// A walked container changed under Python code run by the walk; the
// interpreter's own texts for the same mistake.
inline constexpr const char *kListChangedText = "list changed size during iteration";
inline constexpr const char *kDictChangedText = "dictionary changed size during iteration";
inline constexpr const char *kKeysChangedText = "dictionary keys changed during iteration";

// TypeError of a call whose arguments cannot be bound: this text, then the
// repr of each argument.
inline constexpr const char *kIncompatibleText =
    "dumps(): incompatible function arguments. The following argument types are supported:\n"
    "    1. (value: Union[bool, float, int, list, tuple, dict, bytes, str, bool, int, int, str, None], "
    "indefinite: bool = True, max_depth: int = 0) -> bytes\n"
    "\nInvoked with: ";

// ---- loads: CBORDecodeError texts, each followed by " at byte N" ----------

inline constexpr const char *kAtByteText = " at byte ";
inline constexpr const char *kTruncatedText = "truncated input";
inline constexpr const char *kBreakText = "break outside an indefinite-length item";
inline constexpr const char *kMapBreakText = "break after a map key without its value";
inline constexpr const char *kUtf8Text = "invalid UTF-8 in text string";
inline constexpr const char *kSimpleText = "two-byte simple value below 32";
inline constexpr const char *kTrailingText = "trailing bytes after the data item";
inline constexpr const char *kDuplicateKeyText = "duplicate map key";
inline constexpr const char *kMapKeyText = "map key of type map is unhashable";
inline constexpr const char *kUnhashableKeyText = "unhashable map key";
// Followed by the limit, then kKeyNestingTail.
inline constexpr const char *kKeyNestingText = "map key nested more than ";
inline constexpr const char *kKeyNestingTail = " levels deep";
// Followed by the kind ("array" or "tag"), then kRefusedKeyTail.
inline constexpr const char *kRefusedKeyText = "map key of type ";
inline constexpr const char *kRefusedKeyTail = " is refused: pass unsafe_keys=True for trusted input";
inline constexpr const char *kBignumText = "bignum needs a byte string";
inline constexpr const char *kDateTextText = "tag 0 needs an RFC 3339 date/time text string";
inline constexpr const char *kEpochTypeText = "tag 1 needs an integer or float";
inline constexpr const char *kEpochRangeText = "epoch time out of range for tag 1";

// RuntimeError: kIntegerRangeText, then str(obj) cut on a character boundary.
[[noreturn]] void throw_integer_range_error(PyObject *obj);

// RuntimeError: kDepthErrorText, then max_depth.
[[noreturn]] void throw_depth_error(size_t max_depth);

// TypeError: kIncompatibleText, then each argument of the call as pybind11
// shows it; an argument whose repr fails shows a placeholder.
[[noreturn]] void throw_incompatible_arguments(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// The tp_new of a type Python code may not instantiate: TypeError, as the
// interpreter's own such types raise it.
PyObject *refuse_new(PyTypeObject *type, PyObject *args, PyObject *kwargs);

// Sets `type` (CBORDecodeError) with `what`, kAtByteText and offset.
void set_decode_error(PyObject *type, const char *what, size_t offset);

// The CBORDecodeError of a fault the decoding core reports (any but kBuilder).
void set_decode_fault(PyObject *type, const decoding::Result &result, size_t max_depth);

}  // namespace tavrel

#endif  // TAVREL_ERRORS_H
