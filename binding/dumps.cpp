// The texts of the integer range error.
#include <string>

#include "serializer.h"

namespace tavrel {

namespace {

// The error of a failed str(), as "TypeName: message".
std::string describe_pending_error() {
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    std::string text = type != nullptr ? reinterpret_cast<PyTypeObject *>(type)->tp_name : "unknown error";
    if (value != nullptr) {
        if (PyObject *message = PyObject_Str(value)) {
            Py_ssize_t size = 0;
            if (const char *utf8 = PyUnicode_AsUTF8AndSize(message, &size)) text += ": " + std::string(utf8, size);
            Py_DECREF(message);
        }
    }
    PyErr_Clear();
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(trace);
    return text;
}

// str(obj) as UTF-8, cut to at most limit bytes on a character boundary;
// a failing str() is described instead of raised.
std::string truncated_str(PyObject *obj, size_t limit) {
    PyObject *str = PyObject_Str(obj);
    Py_ssize_t size = 0;
    const char *utf8 = str != nullptr ? PyUnicode_AsUTF8AndSize(str, &size) : nullptr;
    std::string text;
    if (utf8 != nullptr) {
        text.assign(utf8, static_cast<size_t>(size));
    } else {
        // KeyboardInterrupt and its kind are raised, not described.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            Py_XDECREF(str);
            interpreter::raise_pending();
        }
        text = "failed with " + describe_pending_error();
    }
    Py_XDECREF(str);
    if (text.size() > limit) {
        // Never split a UTF-8 sequence: back up to the start of a character.
        size_t cut = limit;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text.resize(cut);
    }
    return text;
}
}  // namespace


void throw_integer_range_error(PyObject *obj) {
    // The most bytes of the value's text quoted in the error.
    constexpr size_t kTextLimit = 40;
    throw std::runtime_error(kIntegerRangeText + truncated_str(obj, kTextLimit));
}

}  // namespace tavrel
