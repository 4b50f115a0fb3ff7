// The dumps function as the interpreter calls it (METH_FASTCALL | METH_KEYWORDS).
#ifndef TAVREL_CALL_H
#define TAVREL_CALL_H

#include <Python.h>

namespace tavrel {

// self is the module's state (module_state.h).
PyObject *dumps_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace tavrel

#endif  // TAVREL_CALL_H
