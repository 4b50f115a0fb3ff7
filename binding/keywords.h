// Keyword names as the interpreter hands them to a METH_FASTCALL entry,
// matched against one function's parameter names.  dumps, loads, load and
// dump all match them here, so a name means the same to each of them.
#ifndef TAVREL_KEYWORDS_H
#define TAVREL_KEYWORDS_H

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <string_view>

// TAVREL_HOT_INLINE
#include "cbor_encoding.hpp"
#include "interpreter.h"

namespace tavrel {

// The index among names of the name spelt text[0, size), or -1.  With the
// names a constant array this unrolls into a few fixed-size compares.
template <size_t N>
TAVREL_HOT_INLINE int parameter_named(const char *text, Py_ssize_t size, const std::string_view (&names)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (static_cast<size_t>(size) == names[i].size() && std::memcmp(text, names[i].data(), names[i].size()) == 0)
            return static_cast<int>(i);
    return -1;
}

// The index among names of the parameter the keyword name names, or -1.  A
// name that is not a str (before 3.9 the interpreter passes **{1: 2} on as it
// is) or has no UTF-8 form (a lone surrogate) names none; nothing is left
// pending.
template <size_t N>
int keyword_parameter(PyObject *name, const std::string_view (&names)[N]) {
    if (!PyUnicode_Check(name)) return -1;
    Py_ssize_t size = 0;
    const char *text = interpreter::str_utf8(name, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    return parameter_named(text, size, names);
}

// The position in kwnames (null: none given) of the keyword naming
// names[index], or -1.
template <size_t N>
Py_ssize_t keyword_position(PyObject *kwnames, const std::string_view (&names)[N], int index) {
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k)
        if (keyword_parameter(PyTuple_GET_ITEM(kwnames, k), names) == index) return k;
    return -1;
}

}  // namespace tavrel

#endif  // TAVREL_KEYWORDS_H
