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

template <bool Indefinite, bool DepthLimited>
py::bytes serialize(const DumpValue &value, size_t max_depth) {
#ifdef PYPY_VERSION
    try {
#endif
        Serializer<Indefinite, DepthLimited> serializer(max_depth);
        serializer.visit(value);
        return serializer.result();
#ifdef PYPY_VERSION
    } catch (const pypy::PendingError &) {
        throw py::error_already_set();
    }
#endif
}

}  // namespace

std::string truncated_str(PyObject *obj, size_t limit) {
    std::string text;
    try {
        PyObject *str = PyObject_Str(obj);
        const char *utf8 = nullptr;
        Py_ssize_t size = 0;
        if (str != nullptr) utf8 = PyUnicode_AsUTF8AndSize(str, &size);
        if (utf8 != nullptr)
            text.assign(utf8, static_cast<size_t>(size));
        else
            text = "failed with " + describe_pending_error();
        Py_XDECREF(str);
    } catch (const std::exception &e) {
        text = std::string("failed with ") + e.what();
    } catch (...) {
        text = "failed with unknown exception";
    }
    if (text.size() > limit) {
        // Never split a UTF-8 sequence: back up to the start of a character.
        size_t cut = limit;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text.resize(cut);
    }
    return text;
}

void throw_integer_range_error(PyObject *obj, size_t text_limit) {
    throw std::runtime_error("dumps received an integer out of range for both int64_t and uint64_t" +
                             truncated_str(obj, text_limit));
}

py::bytes dumps(const DumpValue &value, bool indefinite, size_t max_depth) {
    if (indefinite)
        return max_depth != 0 ? serialize<true, true>(value, max_depth) : serialize<true, false>(value, 0);
    return max_depth != 0 ? serialize<false, true>(value, max_depth) : serialize<false, false>(value, 0);
}

}  // namespace tavrel
