// The scalar Python objects written as CBOR items: str, int, float, bytes, bool.
#ifndef TAVREL_SCALAR_WRITERS_H
#define TAVREL_SCALAR_WRITERS_H

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "cbor_encoding.hpp"
#include "dump_value.h"
#include "errors.h"
#include "interpreter.h"
#include "output_buffer.h"

namespace tavrel {

// Inlined at every element, as it was while a member of the serializer;
// shared by all four serializers, GCC's unit-wide inlining budget would
// otherwise leave it out of line.
TAVREL_HOT_INLINE void write_bool(OutputBuffer &out, bool value) { out.put(value ? kTrue : kFalse); }

// A float, or what converts to one.
inline void write_float_object(OutputBuffer &out, PyObject *obj) {
    if (PyFloat_Check(obj)) {
        // The stored value, as CPython's PyFloat_AsDouble reads it; PyPy
        // would ask a subclass's own __float__.
        return write_float(out, PyFloat_AS_DOUBLE(obj));
    }
    double x = PyFloat_AsDouble(obj);
    if (x == -1.0 && PyErr_Occurred()) {
        drop_error();
        if (!PyNumber_Check(obj)) throw py::cast_error(kCastErrorText);
        auto as_float = py::reinterpret_steal<py::object>(PyNumber_Float(obj));
        drop_error();
        if (!as_float || !PyFloat_Check(as_float.ptr())) throw py::cast_error(kCastErrorText);
        x = PyFloat_AS_DOUBLE(as_float.ptr());
    }
    write_float(out, x);
}

TAVREL_HOT_INLINE void write_bytes_object(OutputBuffer &out, PyObject *obj) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) {
        drop_error();
        throw std::runtime_error(kBytesContentsText);
    }
    write_string(out, kMajorBytes, data, static_cast<size_t>(size));
}

// The str and int writers are inlined into every element's dispatch; what
// is rare is kept out of line (TAVREL_OUT_OF_LINE, from cbor_encoding.hpp)
// so that the dispatch stays small enough for the compiler to inline the
// container walk around it.

// A str with no UTF-8 form (a lone surrogate), or out of memory, which is
// raised as such.
[[noreturn]] TAVREL_OUT_OF_LINE inline void throw_str_without_utf8() {
    drop_error();
    throw py::cast_error(kCastErrorText);
}

// Straight from the interpreter's cached UTF-8 form; no copy.  A compact
// ASCII str is its own UTF-8.
TAVREL_HOT_INLINE void write_str_object(OutputBuffer &out, PyObject *obj) {
    Py_ssize_t size = 0;
    const char *utf8 = interpreter::str_utf8(obj, &size);
    if (utf8 == nullptr) throw_str_without_utf8();
    write_string(out, kMajorText, utf8, static_cast<size_t>(size));
}

// An exact int whose digits cannot be read in place, or one past 64 bits.
TAVREL_OUT_OF_LINE inline void write_int_by_calls(OutputBuffer &out, PyObject *obj) {
    // An exact int's equality cannot disagree with its value, so the
    // range checks need no temporary ints.
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0 && !(value == -1 && PyErr_Occurred())) return write_signed(out, value);
    if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return write_head(out, kMajorUint, u);
    }
    drop_error();
    throw_integer_range_error(obj);
}

// An exact int wider than one internal digit, or any exact int where the
// digits cannot be read in place.  The interpreter's calls sit in their own
// function, so this one saves one register, not four.
TAVREL_OUT_OF_LINE inline void write_wide_int(OutputBuffer &out, PyObject *obj) {
    bool negative;
    uint64_t magnitude;
    if (interpreter::int_magnitude(obj, negative, magnitude)) {
        // Major type 1 carries magnitude - 1; -2**63 is the lowest value.
        if (!negative) return write_head(out, kMajorUint, magnitude);
        if (magnitude <= (uint64_t{1} << 63)) return write_head(out, kMajorNegint, magnitude - 1);
    }
    write_int_by_calls(out, obj);
}

// An exact int, read in place where the interpreter allows it.
TAVREL_HOT_INLINE void write_exact_int(OutputBuffer &out, PyObject *obj) {
    int64_t small;
    if (interpreter::compact_int(obj, small)) return write_signed(out, small);
    write_wide_int(out, obj);
}

// Steals made; false (with no error pending) unless made == obj.
inline bool int_equals(PyObject *made, PyObject *obj) {
    if (made == nullptr) {
        drop_error();
        return false;
    }
    const int equal = PyObject_RichCompareBool(made, obj, Py_EQ);
    Py_DECREF(made);
    if (equal < 0) drop_error();
    return equal == 1;
}

// An int of any kind.
inline void write_int_object(OutputBuffer &out, PyObject *obj) {
    if (PyLong_CheckExact(obj)) return write_exact_int(out, obj);
    // Subclasses may redefine equality: accept a conversion only when the
    // int made from it compares equal to the original.
    uint64_t u;
    if (load_uint64(obj, true, u) && int_equals(PyLong_FromUnsignedLongLong(u), obj))
        return write_head(out, kMajorUint, u);
    int64_t s;
    if (load_int64(obj, true, s) && int_equals(PyLong_FromLongLong(s), obj)) return write_signed(out, s);
    throw_integer_range_error(obj);
}

// Scalars of exact built-in types, written in place: false, with nothing
// written, for anything else.  Writing them runs no Python code, so a
// borrowed reference to them stays valid meanwhile.  Ordered by how often
// real documents hold them.
TAVREL_HOT_INLINE bool write_plain_scalar(OutputBuffer &out, PyObject *item) {
    PyTypeObject *type = Py_TYPE(item);
    if (type == &PyUnicode_Type)
        write_str_object(out, item);
    else if (type == &PyLong_Type)
        write_exact_int(out, item);
    else if (type == &PyFloat_Type)
        write_float(out, PyFloat_AS_DOUBLE(item));
    else if (type == &PyBool_Type)
        write_bool(out, item == Py_True);
    else if (item == Py_None)
        out.put(kNull);
    else if (type == &PyBytes_Type)
        write_bytes_object(out, item);
    else
        return false;
    return true;
}

}  // namespace tavrel

#endif  // TAVREL_SCALAR_WRITERS_H
