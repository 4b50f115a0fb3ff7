// What the walk and the writers need from the interpreter, one interface for
// CPython and PyPy: stored items of lists and tuples, dict entries with
// their change checks, str contents and small int values.
#ifndef TAVREL_INTERPRETER_H
#define TAVREL_INTERPRETER_H

#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "errors.h"
#include "pypy_stored.h"

namespace tavrel {
namespace interpreter {

namespace py = pybind11;

#ifdef PYPY_VERSION
// A Python error is pending; it is fetched once the walk has unwound.
using PendingError = pypy::PendingError;
#else
struct PendingError {};
#endif

#ifndef PYPY_VERSION

constexpr bool kItemsAreNewReferences = false;

struct ListItems {
    static constexpr bool kCanChange = true;
    static Py_ssize_t size(PyObject *seq) { return PyList_GET_SIZE(seq); }
    static PyObject *borrowed(PyObject *seq, Py_ssize_t i) { return PyList_GET_ITEM(seq, i); }
    static py::object item(PyObject *seq, Py_ssize_t i) { return py::reinterpret_borrow<py::object>(borrowed(seq, i)); }
};

struct TupleItems {
    static constexpr bool kCanChange = false;
    static Py_ssize_t size(PyObject *seq) { return PyTuple_GET_SIZE(seq); }
    static PyObject *borrowed(PyObject *seq, Py_ssize_t i) { return PyTuple_GET_ITEM(seq, i); }
    static py::object item(PyObject *seq, Py_ssize_t i) { return py::reinterpret_borrow<py::object>(borrowed(seq, i)); }
};

inline Py_ssize_t dict_size(PyObject *dict) { return PyDict_GET_SIZE(dict); }

// The stored entries in storage order.  After Python code ran, the dict must
// still have its size and its entry table: a key popped and inserted again
// can compact the table, and positions taken before would then skip one
// entry and repeat another.
class DictEntries {
public:
    explicit DictEntries(PyObject *dict) : dict_(dict), table_(table_of(dict)) {}

    bool next(PyObject **key, PyObject **value) { return PyDict_Next(dict_, &position_, key, value) != 0; }

    void check_unchanged(Py_ssize_t count) const {
        if (PyDict_GET_SIZE(dict_) != count) throw std::runtime_error(kDictChangedText);
        if (table_of(dict_) != table_) throw std::runtime_error(kKeysChangedText);
    }

private:
    static const void *table_of(PyObject *dict) { return reinterpret_cast<PyDictObject *>(dict)->ma_keys; }

    PyObject *dict_;
    const void *table_;
    Py_ssize_t position_ = 0;
};

// The UTF-8 form, cached by the str itself; a compact ASCII str is its own.
// A cached form is read in place, and made only the first time.
inline const char *str_utf8(PyObject *str, Py_ssize_t *size) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        *size = PyUnicode_GET_LENGTH(str);
        return static_cast<const char *>(PyUnicode_DATA(str));
    }
    const auto *compact = reinterpret_cast<const PyCompactUnicodeObject *>(str);
    if (compact->utf8 != nullptr) {
        *size = compact->utf8_length;
        return compact->utf8;
    }
    return PyUnicode_AsUTF8AndSize(str, size);
}

// CPython's errors need no settling.
inline void settle_pending_error() {}

// The value of an exact int that fits one internal digit, read in place.
inline bool compact_int(PyObject *obj, int64_t &out) {
#if PY_VERSION_HEX >= 0x030C0000
    auto *number = reinterpret_cast<PyLongObject *>(obj);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    out = static_cast<int64_t>(PyUnstable_Long_CompactValue(number));
    return true;
#elif PY_VERSION_HEX >= 0x030B0000
    const Py_ssize_t size = Py_SIZE(obj);
    if (size < -1 || size > 1) return false;
    out = static_cast<int64_t>(size) * static_cast<int64_t>(reinterpret_cast<PyLongObject *>(obj)->ob_digit[0]);
    return true;
#else
    (void)obj;
    (void)out;
    return false;
#endif
}

// The sign and magnitude of an exact int whose magnitude fits 64 bits, read
// from its digits in place; false when it does not fit, or where the digits
// cannot be read (the caller then asks the interpreter).
inline bool int_magnitude(PyObject *obj, bool &negative, uint64_t &magnitude) {
#if PY_VERSION_HEX >= 0x030B0000
    const auto *number = reinterpret_cast<const PyLongObject *>(obj);
#if PY_VERSION_HEX >= 0x030C0000
    const uintptr_t tag = number->long_value.lv_tag;
    const size_t count = static_cast<size_t>(tag >> _PyLong_NON_SIZE_BITS);
    negative = (tag & _PyLong_SIGN_MASK) == 2;
    const digit *digits = number->long_value.ob_digit;
#else
    const Py_ssize_t size = Py_SIZE(obj);
    const size_t count = static_cast<size_t>(size < 0 ? -size : size);
    negative = size < 0;
    const digit *digits = number->ob_digit;
#endif
    uint64_t value = 0;
    for (size_t i = count; i-- > 0;) {
        if ((value >> (64 - PyLong_SHIFT)) != 0) return false;
        value = value << PyLong_SHIFT | digits[i];
    }
    magnitude = value;
    return true;
#else
    (void)obj;
    (void)negative;
    (void)magnitude;
    return false;
#endif
}

#else  // PYPY_VERSION

constexpr bool kItemsAreNewReferences = true;

// PyPy answers size and item queries on a subclass through the subclass's
// own methods; the base type's methods reach the stored entries.
struct ListItems {
    static constexpr bool kCanChange = true;
    static Py_ssize_t size(PyObject *seq) {
        return PyList_CheckExact(seq) ? PyList_GET_SIZE(seq) : pypy::stored_size(&PyList_Type, seq);
    }
    static PyObject *borrowed(PyObject *, Py_ssize_t) { return nullptr; }
    static py::object item(PyObject *seq, Py_ssize_t i) { return pypy::stored_item(&PyList_Type, seq, i); }
};

struct TupleItems {
    static constexpr bool kCanChange = false;
    static Py_ssize_t size(PyObject *seq) {
        return PyTuple_CheckExact(seq) ? PyTuple_GET_SIZE(seq) : pypy::stored_size(&PyTuple_Type, seq);
    }
    static PyObject *borrowed(PyObject *, Py_ssize_t) { return nullptr; }
    static py::object item(PyObject *seq, Py_ssize_t i) {
        if (!PyTuple_CheckExact(seq)) return pypy::stored_item(&PyTuple_Type, seq, i);
        // PyPy fills a tuple's C items recursively; when that ran out of
        // stack, the tuple is left with empty slots, which its own item
        // functions would read.
        PyObject *item = PyTuple_GET_ITEM(seq, i);
        if (item == nullptr) {
            PyErr_SetString(PyExc_RecursionError, kStackErrorText);
            throw PendingError{};
        }
        return py::reinterpret_borrow<py::object>(item);
    }
};

inline Py_ssize_t dict_size(PyObject *dict) { return pypy::stored_size(&PyDict_Type, dict); }

// The stored entries through dict.items, whose iteration refuses a dict that
// changes size.  PyPy's PyDict_Next reads a subclass through its own methods
// and cannot survive a change.
class DictEntries {
public:
    explicit DictEntries(PyObject *dict) {
        py::object items = pypy::call_base(&PyDict_Type, "items", dict);
        iterator_ = py::reinterpret_steal<py::object>(PyObject_GetIter(items.ptr()));
        if (!iterator_) throw pypy::PendingError{};
    }

    bool next(PyObject **key, PyObject **value) {
        PyObject *pair = PyIter_Next(iterator_.ptr());
        if (pair == nullptr) {
            if (PyErr_Occurred()) throw pypy::PendingError{};
            return false;
        }
        pair_ = py::reinterpret_steal<py::object>(pair);
        *key = PyTuple_GET_ITEM(pair, 0);
        *value = PyTuple_GET_ITEM(pair, 1);
        return true;
    }

    // The iterator itself refuses a change of size; the entry count catches
    // the rest.
    void check_unchanged(Py_ssize_t) const {}

private:
    py::object iterator_;
    py::object pair_;
};

inline const char *str_utf8(PyObject *str, Py_ssize_t *size) { return PyUnicode_AsUTF8AndSize(str, size); }

inline bool compact_int(PyObject *, int64_t &) { return false; }
inline bool int_magnitude(PyObject *, bool &, uint64_t &) { return false; }

// PyPy reports running out of its own stack inside a C API call as a
// SystemError whose text names a StackOverflow; callers see the
// RecursionError it is.
inline void settle_pending_error() {
    if (!PyErr_ExceptionMatches(PyExc_SystemError)) return;
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    bool overflow = false;
    if (PyObject *text = value != nullptr ? PyObject_Str(value) : nullptr) {
        const char *utf8 = PyUnicode_AsUTF8(text);
        overflow = utf8 != nullptr && std::strncmp(utf8, "<StackOverflow object", 21) == 0;
        Py_DECREF(text);
    }
    PyErr_Clear();
    if (overflow) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(trace);
        PyErr_SetString(PyExc_RecursionError, kStackErrorText);
    } else {
        PyErr_Restore(type, value, trace);
    }
}

#endif  // PYPY_VERSION

}  // namespace interpreter
}  // namespace tavrel

#endif  // TAVREL_INTERPRETER_H
