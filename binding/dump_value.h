// DumpValue: the closed set of shapes a Python value takes before it is
// encoded, and the conversion of a Python object into one of them.
#ifndef TAVREL_DUMP_VALUE_H
#define TAVREL_DUMP_VALUE_H

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string_view>
#include <variant>

#include "pypy_stored.h"

namespace tavrel {

namespace py = pybind11;

// The order decides matching: the first alternative that accepts wins.
using DumpValue = std::variant<py::bool_, py::float_, py::int_, py::list, py::tuple, py::dict, py::bytes,
                               py::str, bool, uint64_t, int64_t, std::string_view, py::none>;

// The text of every failed conversion, whatever the pybind11 release says.
inline constexpr const char *kCastErrorText =
    "Unable to cast Python instance to C++ type (compile in debug mode for details)";

// Drops the error a failed alternative leaves behind.  A RecursionError or
// MemoryError is no mismatch: it is raised, since trying the remaining
// alternatives would only run the failing code again, and again for every
// enclosing level.
void drop_error();

// Raises the pending Python error out of the walk.
[[noreturn]] void raise_pending();

// Two passes over the alternatives, the first without implicit conversion.
// False when nothing accepts src; no Python error is left pending.
bool load_dump_value(PyObject *src, DumpValue &out);

// Like load_dump_value, for a container element: throws the cast error.
DumpValue element_value(PyObject *src);

// The integer conversions of the alternatives uint64_t and int64_t; with
// convert, an object that fails is retried once as int(src).
bool load_uint64(PyObject *src, bool convert, uint64_t &out);
bool load_int64(PyObject *src, bool convert, int64_t &out);

}  // namespace tavrel

namespace pybind11 {
namespace detail {

template <>
struct type_caster<tavrel::DumpValue> {
    PYBIND11_TYPE_CASTER(tavrel::DumpValue,
                         const_name("Union[bool, float, int, list, tuple, dict, bytes, str, bool, int, int, str, None]"));

    bool load(handle src, bool /*convert*/) {
#ifdef PYPY_VERSION
        try {
            return src && tavrel::load_dump_value(src.ptr(), value);
        } catch (const tavrel::pypy::PendingError &) {
            throw error_already_set();
        }
#else
        return src && tavrel::load_dump_value(src.ptr(), value);
#endif
    }
};

}  // namespace detail
}  // namespace pybind11

#endif  // TAVREL_DUMP_VALUE_H
