// PyPy's C API answers size and item queries on a list, tuple or dict
// subclass through the subclass's own methods.  Calling the base type's
// methods unbound reaches the stored entries, as CPython's macros do.
#ifndef TAVREL_PYPY_STORED_H
#define TAVREL_PYPY_STORED_H

#ifdef PYPY_VERSION

#include <pybind11/pybind11.h>

namespace tavrel {
namespace pypy {

// A Python error is pending.  PyPy cannot fetch an error on a nearly
// exhausted stack, so it is fetched once the walk has unwound.
struct PendingError {};

inline pybind11::object call_base(PyTypeObject *base, const char *method, PyObject *obj) {
    // "(O)", not "O": a lone tuple argument would be taken as the argument list.
    PyObject *result = PyObject_CallMethod(reinterpret_cast<PyObject *>(base), method, "(O)", obj);
    if (result == nullptr) throw PendingError{};
    return pybind11::reinterpret_steal<pybind11::object>(result);
}

inline Py_ssize_t stored_size(PyTypeObject *base, PyObject *obj) {
    const Py_ssize_t size = PyLong_AsSsize_t(call_base(base, "__len__", obj).ptr());
    if (size == -1 && PyErr_Occurred()) throw PendingError{};
    return size;
}

inline pybind11::object stored_item(PyTypeObject *base, PyObject *obj, Py_ssize_t i) {
    PyObject *item = Py_TYPE(obj) == base
                         ? PySequence_GetItem(obj, i)
                         : PyObject_CallMethod(reinterpret_cast<PyObject *>(base), "__getitem__", "On", obj, i);
    if (item == nullptr) throw PendingError{};
    return pybind11::reinterpret_steal<pybind11::object>(item);
}

}  // namespace pypy
}  // namespace tavrel

#endif  // PYPY_VERSION

#endif  // TAVREL_PYPY_STORED_H
