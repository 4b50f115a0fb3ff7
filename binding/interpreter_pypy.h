// PyPy's side of the interpreter access layer declared in interpreter.h.
//
// PyPy's C API answers size and item queries on a list, tuple or dict
// subclass through the subclass's own methods.  Calling the base type's
// methods unbound reaches the stored entries, as CPython's macros do.
#ifndef TAVREL_INTERPRETER_PYPY_H
#define TAVREL_INTERPRETER_PYPY_H

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "errors.h"

namespace tavrel {
namespace interpreter {

namespace py = pybind11;

// PyPy cannot fetch an error on a nearly exhausted stack.
struct PendingError {};

[[noreturn]] inline void raise_pending() { throw PendingError{}; }

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

inline py::object call_base(PyTypeObject *base, const char *method, PyObject *obj) {
    // "(O)", not "O": a lone tuple argument would be taken as the argument list.
    PyObject *result = PyObject_CallMethod(reinterpret_cast<PyObject *>(base), method, "(O)", obj);
    if (result == nullptr) throw PendingError{};
    return py::reinterpret_steal<py::object>(result);
}

inline Py_ssize_t stored_size(PyTypeObject *base, PyObject *obj) {
    const Py_ssize_t size = PyLong_AsSsize_t(call_base(base, "__len__", obj).ptr());
    if (size == -1 && PyErr_Occurred()) throw PendingError{};
    return size;
}

inline py::object stored_item(PyTypeObject *base, PyObject *obj, Py_ssize_t i) {
    PyObject *item = Py_TYPE(obj) == base
                         ? PySequence_GetItem(obj, i)
                         : PyObject_CallMethod(reinterpret_cast<PyObject *>(base), "__getitem__", "On", obj, i);
    if (item == nullptr) throw PendingError{};
    return py::reinterpret_steal<py::object>(item);
}

constexpr bool kItemsAreNewReferences = true;

struct ListItems {
    static constexpr bool kCanChange = true;
    static Py_ssize_t size(PyObject *seq) {
        return PyList_CheckExact(seq) ? PyList_GET_SIZE(seq) : stored_size(&PyList_Type, seq);
    }
    static PyObject *borrowed(PyObject *, Py_ssize_t) { return nullptr; }
    static PyObject *const *array(PyObject *) { return nullptr; }
    static py::object item(PyObject *seq, Py_ssize_t i) { return stored_item(&PyList_Type, seq, i); }
};

struct TupleItems {
    static constexpr bool kCanChange = false;
    static Py_ssize_t size(PyObject *seq) {
        return PyTuple_CheckExact(seq) ? PyTuple_GET_SIZE(seq) : stored_size(&PyTuple_Type, seq);
    }
    static PyObject *borrowed(PyObject *, Py_ssize_t) { return nullptr; }
    static PyObject *const *array(PyObject *) { return nullptr; }
    static py::object item(PyObject *seq, Py_ssize_t i) {
        if (!PyTuple_CheckExact(seq)) return stored_item(&PyTuple_Type, seq, i);
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

inline Py_ssize_t dict_size(PyObject *dict) {
    return PyDict_CheckExact(dict) ? PyDict_Size(dict) : stored_size(&PyDict_Type, dict);
}

// Through dict.items, whose iteration refuses a dict that changes size.
// PyPy's PyDict_Next reads a subclass through its own methods and cannot
// survive a change.
class DictEntries {
public:
    explicit DictEntries(PyObject *dict) : dict_(dict) {
        py::object items = call_base(&PyDict_Type, "items", dict);
        iterator_ = py::reinterpret_steal<py::object>(PyObject_GetIter(items.ptr()));
        if (!iterator_) throw PendingError{};
    }

    bool next(PyObject **key, PyObject **value) {
        PyObject *pair = PyIter_Next(iterator_.ptr());
        if (pair == nullptr) {
            if (PyErr_Occurred()) throw PendingError{};
            return false;
        }
        pair_ = py::reinterpret_steal<py::object>(pair);
        *key = PyTuple_GET_ITEM(pair, 0);
        *value = PyTuple_GET_ITEM(pair, 1);
        ++walked_;
        if (held_ != nullptr) {
            held_->keys.push_back(py::reinterpret_borrow<py::object>(*key));
            ++held_->walked;
        }
        return true;
    }

    // The iterator itself refuses a change of size; the entry count catches
    // the rest.
    void check_unchanged(Py_ssize_t) const {}

    // The first time, the keys handed out so far, from a walk of its own;
    // from then on next() holds each key as it hands it out.
    void hold_walked(HeldKeys &held) {
        if (held_ != nullptr) return;
        held_ = &held;
        DictEntries again(dict_);
        PyObject *key = nullptr, *value = nullptr;
        while (held.walked < walked_ && again.next(&key, &value)) {
            held.keys.push_back(py::reinterpret_borrow<py::object>(key));
            ++held.walked;
        }
    }

private:
    PyObject *dict_;
    py::object iterator_;
    py::object pair_;
    Py_ssize_t walked_ = 0;
    HeldKeys *held_ = nullptr;
};

// PyPy gives a subclass's C form the size its own __len__ answers, and
// pads the contents to it (str.__str__ copies that size too); a whole slice
// by the base type's method copies the stored contents.
inline py::object whole_copy(PyTypeObject *base, PyObject *obj) {
    if (Py_TYPE(obj) == base) return py::reinterpret_borrow<py::object>(obj);
    py::object whole = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
    if (!whole) throw PendingError{};
    PyObject *copy = PyObject_CallMethod(reinterpret_cast<PyObject *>(base), "__getitem__", "OO", obj, whole.ptr());
    if (copy == nullptr) throw PendingError{};
    return py::reinterpret_steal<py::object>(copy);
}

inline auto stored_str(PyObject *obj) { return whole_copy(&PyUnicode_Type, obj); }
inline auto stored_bytes(PyObject *obj) { return whole_copy(&PyBytes_Type, obj); }

inline const char *str_utf8(PyObject *str, Py_ssize_t *size) { return PyUnicode_AsUTF8AndSize(str, size); }

inline const char *ascii_chars(PyObject *obj, Py_ssize_t *size) {
    if (!PyUnicode_CheckExact(obj)) return nullptr;
    const char *text = PyUnicode_AsUTF8AndSize(obj, size);
    if (text == nullptr) PyErr_Clear();
    return text;
}

inline bool compact_int(PyObject *, int64_t &) { return false; }
inline bool int_magnitude(PyObject *, bool &, uint64_t &) { return false; }

// A malloc block: PyPy's bytes objects cannot be resized in place.
inline uint8_t *storage_data(void *block) { return static_cast<uint8_t *>(block); }

inline void *storage_make(const uint8_t *from, size_t used, size_t size) {
    void *block = std::malloc(size);
    if (block == nullptr) throw std::bad_alloc();
    std::memcpy(block, from, used);
    return block;
}

inline void storage_resize(void *&block, size_t size) {
    void *grown = std::realloc(block, size);
    if (grown == nullptr) throw std::bad_alloc();
    block = grown;
}

inline void storage_release(void *block) { std::free(block); }

inline PyObject *storage_finish(void *block, size_t used) {
    PyObject *bytes = PyBytes_FromStringAndSize(static_cast<const char *>(block), static_cast<Py_ssize_t>(used));
    std::free(block);
    return bytes;
}

// PyPy has no frozendict.
inline bool is_frozen_dict(PyObject *) { return false; }

inline bool has_index(PyObject *obj) { return PyObject_HasAttrString(obj, "__index__") == 1; }
inline int own_truth(PyObject *obj) { return PyObject_HasAttrString(obj, "__bool__") == 1 ? PyObject_IsTrue(obj) : -1; }

constexpr bool kIntConversionsSkipIndex = true;

// A held bytearray can still be resized.
constexpr bool kExportPinsBuffer = false;

// Objects are freed by PyPy's collector, which is not recursive; the
// reference counts C sees are cpyext's, not the object's.
constexpr bool kFreesOnLastRelease = false;

// PyPy's collector does not walk containers as they are made.
class CollectorPause {
public:
    void pause() {}
    void resume() {}
};

// PyPy frees through its own collector; the macros keep the same shape.
#define TAVREL_TRASHCAN_BEGIN(op, dealloc) Py_TRASHCAN_SAFE_BEGIN(op)
#define TAVREL_TRASHCAN_END(op) Py_TRASHCAN_SAFE_END(op)

inline PyObject *new_bytes(const uint8_t *p, size_t n) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(p), static_cast<Py_ssize_t>(n));
}

inline PyObject *new_ascii_str(const uint8_t *p, size_t n) {
    return PyUnicode_FromStringAndSize(reinterpret_cast<const char *>(p), static_cast<Py_ssize_t>(n));
}

// PyPy keeps strs as UTF-8: the counts found while checking are of no use.
inline PyObject *new_utf8_str(const uint8_t *p, size_t n, size_t, uint8_t) {
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(p), static_cast<Py_ssize_t>(n), "strict");
}

inline PyObject *list_of(PyObject *const *items, size_t n) {
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) {
        for (size_t i = 0; i < n; ++i) Py_DECREF(items[i]);
        return nullptr;
    }
    // PyList_SetItem takes the reference over, and a new list has room.
    for (size_t i = 0; i < n; ++i) PyList_SetItem(list, static_cast<Py_ssize_t>(i), items[i]);
    return list;
}

inline PyObject *new_dict(size_t) { return PyDict_New(); }

inline Py_ssize_t exact_dict_size(PyObject *dict) { return PyDict_Size(dict); }

inline PyObject *int_from_be_bytes(const uint8_t *p, size_t n) {
    return PyObject_CallMethod(reinterpret_cast<PyObject *>(&PyLong_Type), "from_bytes", "y#s",
                               reinterpret_cast<const char *>(p), static_cast<Py_ssize_t>(n), "big");
}

// PyPy checks its own stack against a budget well below the thread's (under
// a megabyte at the default recursion limit), and a C API call that trips it
// cannot always report the error.  Stay well inside it.
constexpr uintptr_t kStackBudget = 256 * 1024;

// PyPy's budget shrinks with the recursion limit (in proportion, from its
// default of 1000): past it, a C API call can trip PyPy's check in a way
// that leaves the interpreter broken for later calls.  So ours shrinks too.
inline uintptr_t stack_budget() {
    const int limit = Py_GetRecursionLimit();
    if (limit >= 1000) return kStackBudget;
    return kStackBudget / 1000 * static_cast<uintptr_t>(limit > 0 ? limit : 1);
}

// PyPy would show it as part of the doc.
constexpr bool kStripsTextSignature = false;

}  // namespace interpreter
}  // namespace tavrel

#endif  // TAVREL_INTERPRETER_PYPY_H
