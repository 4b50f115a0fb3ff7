// Every text the module raises, and the errors built from them (errors.cpp).
//
// In one place, since callers match on the texts.
#ifndef TAVREL_ERRORS_H
#define TAVREL_ERRORS_H

#include <Python.h>

#include <cstddef>

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

// RuntimeError: kIntegerRangeText, then str(obj) cut on a character boundary.
[[noreturn]] void throw_integer_range_error(PyObject *obj);

// RuntimeError: kDepthErrorText, then max_depth.
[[noreturn]] void throw_depth_error(size_t max_depth);

// TypeError: kIncompatibleText, then each argument of the call as pybind11
// shows it; an argument whose repr fails shows a placeholder.
[[noreturn]] void throw_incompatible_arguments(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace tavrel

#endif  // TAVREL_ERRORS_H
