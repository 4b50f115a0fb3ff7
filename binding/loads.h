// The loads, load and dump functions as the interpreter calls them
// (METH_FASTCALL | METH_KEYWORDS); self is the module's state
// (module_state.h).
#ifndef TAVREL_LOADS_H
#define TAVREL_LOADS_H

#include <Python.h>

namespace tavrel {

PyObject *loads_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *load_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *dump_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace tavrel

#endif  // TAVREL_LOADS_H
