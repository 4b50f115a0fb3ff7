// The errors whose texts are built from the call: integer range, depth,
// arguments, and the faults loads reports with their byte offsets.
#include "errors.h"

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

#include "interpreter.h"

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

// pybind11's placeholder for a repr that failed, MemoryError and
// RecursionError included; an exception that is not an Exception
// (KeyboardInterrupt, say) is raised instead.
void append_placeholder(std::string &text) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) interpreter::raise_pending();
    PyErr_Clear();
    text += "<repr raised Error>";
}

// repr(obj) as UTF-8, or the placeholder when it fails.
void append_repr(std::string &text, PyObject *obj) {
    PyObject *repr = PyObject_Repr(obj);
    Py_ssize_t size = 0;
    const char *utf8 = repr != nullptr ? PyUnicode_AsUTF8AndSize(repr, &size) : nullptr;
    if (utf8 != nullptr)
        text.append(utf8, static_cast<size_t>(size));
    else
        append_placeholder(text);
    Py_XDECREF(repr);
}

// A keyword's name as str.format shows it: str() of it, since before 3.9
// it need not be a str; a lone surrogate is shown escaped.
void append_name(std::string &text, PyObject *name) {
    PyObject *str = PyUnicode_Check(name) ? (Py_INCREF(name), name) : PyObject_Str(name);
    PyObject *utf8 = str != nullptr ? PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace") : nullptr;
    if (utf8 != nullptr)
        text.append(PyBytes_AS_STRING(utf8), static_cast<size_t>(PyBytes_GET_SIZE(utf8)));
    else
        append_placeholder(text);
    Py_XDECREF(utf8);
    Py_XDECREF(str);
}

}  // namespace

void throw_integer_range_error(PyObject *obj) {
    // The most bytes of the value's text quoted in the error.
    constexpr size_t kTextLimit = 40;
    throw std::runtime_error(kIntegerRangeText + truncated_str(obj, kTextLimit));
}

void throw_depth_error(size_t max_depth) { throw std::runtime_error(kDepthErrorText + std::to_string(max_depth)); }

void throw_incompatible_arguments(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    std::string text = kIncompatibleText;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        if (i != 0) text += ", ";
        append_repr(text, args[i]);
    }
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        text += k == 0 ? (nargs != 0 ? "; kwargs: " : "kwargs: ") : ", ";
        append_name(text, PyTuple_GET_ITEM(kwnames, k));
        text += '=';
        append_repr(text, args[nargs + k]);
    }
    // Whole, NUL bytes included: a C string would end at the first one.
    PyObject *message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (message == nullptr) throw pybind11::error_already_set();
    PyErr_SetObject(PyExc_TypeError, message);
    Py_DECREF(message);
    throw pybind11::error_already_set();
}

PyObject *refuse_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

void set_decode_error(PyObject *type, const char *what, size_t offset) {
    const std::string text = what + (kAtByteText + std::to_string(offset));
    PyErr_SetString(type, text.c_str());
}

namespace {

std::string hex_byte(uint64_t byte) {
    static const char kDigits[] = "0123456789abcdef";
    return std::string("0x") + kDigits[(byte >> 4) & 0xF] + kDigits[byte & 0xF];
}

const char *string_kind(uint64_t major) { return major == 2 ? "byte string" : "text string"; }

}  // namespace

void set_decode_fault(PyObject *type, const decoding::Result &r, size_t max_depth) {
    using decoding::Fault;
    std::string what;
    switch (r.fault) {
        case Fault::kTruncated: what = kTruncatedText; break;
        case Fault::kTruncatedString:
            what = std::string(kTruncatedText) + ": " + string_kind(r.major) + " of " + std::to_string(r.first) +
                   " bytes needs " + std::to_string(r.second) + " more";
            break;
        case Fault::kTruncatedCount:
            what = std::string(kTruncatedText) + ": " + (r.major == 4 ? "array of " : "map of ") +
                   std::to_string(r.first) + (r.major == 4 ? " items" : " pairs") + " in " + std::to_string(r.second) +
                   " bytes";
            break;
        case Fault::kInitialByte: what = "invalid initial byte " + hex_byte(r.first); break;
        case Fault::kBreak: what = kBreakText; break;
        case Fault::kMapBreak: what = kMapBreakText; break;
        case Fault::kChunk:
            what = "invalid chunk " + hex_byte(r.first) + " in an indefinite-length " + string_kind(r.major);
            break;
        case Fault::kUtf8: what = kUtf8Text; break;
        case Fault::kSimple: what = kSimpleText; break;
        case Fault::kDepth: what = "nesting deeper than max_depth=" + std::to_string(max_depth); break;
        case Fault::kTrailing: what = kTrailingText; break;
        case Fault::kNone:
        case Fault::kBuilder: PyErr_SetString(PyExc_SystemError, "no decode fault to report"); return;
    }
    set_decode_error(type, what.c_str(), r.offset);
}

}  // namespace tavrel
