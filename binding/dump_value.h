// DumpValue: the shapes a value of any other type is matched to before it is written.
//
// A closed set, tried in order, with the conversions pybind11's casters make.
#ifndef TAVREL_DUMP_VALUE_H
#define TAVREL_DUMP_VALUE_H

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

namespace tavrel {

namespace py = pybind11;

// The order decides matching: the first alternative that accepts wins.
using DumpValue = std::variant<py::bool_, py::float_, py::int_, py::list, py::tuple, py::dict, py::bytes, py::str, bool,
                               uint64_t, int64_t, std::string_view, py::none>;

// Drops the error a failed alternative leaves behind.  Some errors are no
// mismatch and are raised instead: RecursionError and MemoryError, since
// trying the remaining alternatives would only run the failing code again,
// and again for every enclosing level, and whatever is not an Exception
// (KeyboardInterrupt, SystemExit), which must reach the caller unchanged.
void drop_error();

// Two passes over the alternatives, the first without implicit conversion.
// False when nothing accepts src; no Python error is left pending.
bool load_dump_value(PyObject *src, DumpValue &out);

// Like load_dump_value, for a container element: throws the cast error.
DumpValue element_value(PyObject *src);

// The integer conversions of the alternatives uint64_t and int64_t; with
// convert, an object that fails is retried once as int(src).
bool load_uint64(PyObject *src, bool convert, uint64_t &out);
bool load_int64(PyObject *src, bool convert, int64_t &out);
bool load_size(PyObject *src, bool convert, size_t &out);

// The truth rule with conversion: None is false; otherwise the type's own
// __bool__ decides.
bool load_truth_value(PyObject *src, bool &out);

}  // namespace tavrel

#endif  // TAVREL_DUMP_VALUE_H
