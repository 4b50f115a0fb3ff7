// The matching of a Python object to the first DumpValue alternative that accepts it.
#include "dump_value.h"

#include <cstring>
#include <type_traits>

#include "errors.h"
#include "interpreter.h"

namespace tavrel {

namespace {

template <typename T>
T borrow(PyObject *obj) {
    return py::reinterpret_borrow<T>(obj);
}

bool is_numpy_bool(PyObject *src) {
    // NumPy 1 names its scalar type numpy.bool_, NumPy 2 numpy.bool.
    const char *name = Py_TYPE(src)->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

// The truth rule: None is false; otherwise the type's own __bool__ decides.
bool load_truth(PyObject *src, bool convert, bool &out) {
    if (src == Py_True || src == Py_False) {
        out = src == Py_True;
        return true;
    }
    if (!convert && !is_numpy_bool(src)) return false;
    const int result = src == Py_None ? 0 : interpreter::own_truth(src);
    if (result == 0 || result == 1) {
        out = result == 1;
        return true;
    }
    drop_error();
    return false;
}

template <typename T>
T as_integer(PyObject *src) {
    if constexpr (std::is_unsigned<T>::value) {
        if constexpr (sizeof(unsigned long) >= sizeof(T))
            return static_cast<T>(PyLong_AsUnsignedLong(src));
        else
            return static_cast<T>(PyLong_AsUnsignedLongLong(src));
    } else {
        if constexpr (sizeof(long) >= sizeof(T))
            return static_cast<T>(PyLong_AsLong(src));
        else
            return static_cast<T>(PyLong_AsLongLong(src));
    }
}

template <typename T>
bool load_integer(PyObject *src, bool convert, T &out);

// The value of number: src itself, or the int its __index__ made.
template <typename T>
bool load_number(PyObject *src, PyObject *number, bool convert, T &out) {
    const T value = as_integer<T>(number);
    if (value == static_cast<T>(-1) && PyErr_Occurred()) {
        drop_error();
        if (convert && PyNumber_Check(src)) {
            auto as_int = py::reinterpret_steal<py::object>(PyNumber_Long(src));
            drop_error();
            return load_integer(as_int.ptr(), false, out);
        }
        return false;
    }
    out = value;
    return true;
}

template <typename T>
bool load_integer(PyObject *src, bool convert, T &out) {
    if (src == nullptr || PyFloat_Check(src)) return false;
    if (!convert && !PyLong_Check(src) && !interpreter::has_index(src)) return false;
    if constexpr (interpreter::kIntConversionsSkipIndex) {
        if (!PyLong_Check(src)) {
            auto index = py::reinterpret_steal<py::object>(PyNumber_Index(src));
            if (index) return load_number(src, index.ptr(), convert, out);
            drop_error();
            if (!convert) return false;
        }
    }
    return load_number(src, src, convert, out);
}

bool load_string_view(PyObject *src, std::string_view &out) {
    if (PyUnicode_Check(src)) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(src, &size);
        if (utf8 == nullptr) {
            drop_error();
            return false;
        }
        out = std::string_view(utf8, static_cast<size_t>(size));
        return true;
    }
    if (PyBytes_Check(src)) {
        out = std::string_view(PyBytes_AS_STRING(src), static_cast<size_t>(PyBytes_GET_SIZE(src)));
        return true;
    }
    return false;
}

// The handle alternatives, which need no conversion and run no Python code.
bool load_handle(PyObject *src, DumpValue &out) {
    if (PyBool_Check(src)) {
        out.emplace<py::bool_>(borrow<py::bool_>(src));
    } else if (PyFloat_Check(src)) {
        out.emplace<py::float_>(borrow<py::float_>(src));
    } else if (PyLong_Check(src)) {
        out.emplace<py::int_>(borrow<py::int_>(src));
    } else if (PyList_Check(src)) {
        out.emplace<py::list>(borrow<py::list>(src));
    } else if (PyTuple_Check(src)) {
        out.emplace<py::tuple>(borrow<py::tuple>(src));
    } else if (PyDict_Check(src)) {
        out.emplace<py::dict>(borrow<py::dict>(src));
    } else if (PyBytes_Check(src)) {
        out.emplace<py::bytes>(borrow<py::bytes>(src));
    } else if (PyUnicode_Check(src)) {
        out.emplace<py::str>(borrow<py::str>(src));
    } else {
        return false;
    }
    return true;
}

bool load_pass(PyObject *src, bool convert, DumpValue &out) {
    if (load_handle(src, out)) return true;
    bool truth;
    if (load_truth(src, convert, truth)) {
        out.emplace<bool>(truth);
        return true;
    }
    uint64_t unsigned_value;
    if (load_integer(src, convert, unsigned_value)) {
        out.emplace<uint64_t>(unsigned_value);
        return true;
    }
    int64_t signed_value;
    if (load_integer(src, convert, signed_value)) {
        out.emplace<int64_t>(signed_value);
        return true;
    }
    std::string_view text;
    if (load_string_view(src, text)) {
        out.emplace<std::string_view>(text);
        return true;
    }
    if (src == Py_None) {
        out.emplace<py::none>(borrow<py::none>(src));
        return true;
    }
    return false;
}

}  // namespace

void drop_error() {
    PyObject *pending = PyErr_Occurred();
    if (pending == nullptr) return;
    if (PyErr_GivenExceptionMatches(pending, PyExc_RecursionError) ||
        PyErr_GivenExceptionMatches(pending, PyExc_MemoryError) ||
        !PyErr_GivenExceptionMatches(pending, PyExc_Exception))
        interpreter::raise_pending();
    PyErr_Clear();
}

bool load_uint64(PyObject *src, bool convert, uint64_t &out) { return load_integer(src, convert, out); }
bool load_int64(PyObject *src, bool convert, int64_t &out) { return load_integer(src, convert, out); }
bool load_size(PyObject *src, bool convert, size_t &out) { return load_integer(src, convert, out); }
bool load_truth_value(PyObject *src, bool &out) { return load_truth(src, true, out); }

bool load_dump_value(PyObject *src, DumpValue &out) {
    // None first: it is the one exact type that the handle alternatives skip.
    if (src == Py_None) {
        out.emplace<py::none>(borrow<py::none>(src));
        return true;
    }
    return load_pass(src, false, out) || load_pass(src, true, out);
}

DumpValue element_value(PyObject *src) {
    DumpValue value;
    if (!load_dump_value(src, value)) throw py::cast_error(kCastErrorText);
    return value;
}

}  // namespace tavrel
