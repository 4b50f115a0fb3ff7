// The dumps function as the interpreter calls it (METH_FASTCALL | METH_KEYWORDS).
#ifndef TAVREL_CALL_H
#define TAVREL_CALL_H

#include <Python.h>

namespace tavrel {

// The self of dumps and dump: the names of dumps' flag keywords, interned.
// A new reference, or null with an error pending.
PyObject *make_keyword_names();

PyObject *dumps_entry(PyObject *names, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace tavrel

#endif  // TAVREL_CALL_H
