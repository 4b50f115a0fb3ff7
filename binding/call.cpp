// The dumps entry: binds its arguments and runs the walk the flags choose.
//
// value, indefinite and max_depth come straight from the interpreter's fast
// calling convention and are converted as pybind11's casters would convert
// them; a call that cannot be bound is refused with pybind11's TypeError.
#include "call.h"

#include <pybind11/pybind11.h>

#include <exception>
#include <new>
#include <string_view>

#include "dump_value.h"
#include "errors.h"
#include "interpreter.h"
#include "native_stack.h"
#include "serializer.h"

namespace tavrel {

namespace {

enum Parameter { kValue, kIndefinite, kMaxDepth, kParameters };

int parameter_of(PyObject *name) {
    // Before 3.9 the interpreter passes **{1: 2} on as it is.
    if (!PyUnicode_Check(name)) return -1;
    Py_ssize_t size = 0;
    const char *text = interpreter::str_utf8(name, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    const std::string_view view(text, static_cast<size_t>(size));
    if (view == "value") return kValue;
    if (view == "indefinite") return kIndefinite;
    if (view == "max_depth") return kMaxDepth;
    return -1;
}

// pybind11's bool conversion: True and False, None as false, and whatever
// has a truth slot (numpy.bool_ included) by its answer.
bool load_flag(PyObject *src, bool &out) {
    if (src == Py_True || src == Py_False) {
        out = src == Py_True;
        return true;
    }
    return load_truth_value(src, out);
}

bool load_max_depth(PyObject *src, size_t &out) {
    if (PyLong_CheckExact(src)) {
        const size_t value = PyLong_AsSize_t(src);
        if (value == static_cast<size_t>(-1) && PyErr_Occurred()) {
            drop_error();
            return false;
        }
        out = value;
        return true;
    }
    return load_size(src, true, out);
}

// A call as the interpreter hands it over: positional arguments, then the
// values of the keywords named in kwnames.
struct Call {
    PyObject *const *args;
    Py_ssize_t nargs;
    PyObject *kwnames;
    PyObject *bound[kParameters] = {nullptr, nullptr, nullptr};

    Py_ssize_t keywords() const { return kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0; }

    // The arguments matched to the parameters, or false when they cannot
    // be: too many, an unknown or repeated keyword, or no value.
    bool bind() {
        if (nargs > kParameters) return false;
        for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
        for (Py_ssize_t k = 0; k < keywords(); ++k) {
            const int parameter = parameter_of(PyTuple_GET_ITEM(kwnames, k));
            if (parameter < 0 || bound[parameter] != nullptr) return false;
            bound[parameter] = args[nargs + k];
        }
        return bound[kValue] != nullptr;
    }

    // The TypeError of a call that cannot be bound or converted.  Its text
    // holds the repr of every argument: the caller's own code.
    [[noreturn]] void reject(NativeStack &stack) const {
        stack.check_before_python();
        throw_incompatible_arguments(args, nargs, kwnames);
    }
};

// Exact built-in types are their own alternative: matching them runs no
// Python code and needs no DumpValue.
bool is_plain(PyObject *value) {
    PyTypeObject *type = Py_TYPE(value);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
           value == Py_None || type == &PyBytes_Type || type == &PyList_Type || type == &PyDict_Type ||
           type == &PyTuple_Type;
}

template <bool Indefinite, bool DepthLimited>
PyObject *serialize(PyObject *value, const DumpValue *matched, size_t max_depth, NativeStack &stack) {
    Serializer<Indefinite, DepthLimited> serializer(max_depth, stack);
    if (matched != nullptr)
        serializer.visit(*matched);
    else
        serializer.write_root(value);
    return serializer.result();
}

// The flags are converted after the value, as pybind11 converts arguments in
// order: a value's matching hooks run even when a flag is then refused.
PyObject *dump(const Call &call, const DumpValue *matched, NativeStack &stack) {
    PyObject *value = call.bound[kValue];
    bool indefinite = true;
    if (PyObject *flag = call.bound[kIndefinite]) {
        // The truth of anything but these is the caller's own code.
        if (flag != Py_True && flag != Py_False && flag != Py_None && !PyLong_CheckExact(flag) &&
            !PyFloat_CheckExact(flag))
            stack.check_before_python();
        if (!load_flag(flag, indefinite)) call.reject(stack);
    }
    size_t max_depth = 0;
    if (PyObject *limit = call.bound[kMaxDepth]) {
        if (!PyLong_CheckExact(limit)) stack.check_before_python();
        if (!load_max_depth(limit, max_depth)) call.reject(stack);
    }
    if (indefinite)
        return max_depth != 0 ? serialize<true, true>(value, matched, max_depth, stack)
                              : serialize<true, false>(value, matched, 0, stack);
    return max_depth != 0 ? serialize<false, true>(value, matched, max_depth, stack)
                          : serialize<false, false>(value, matched, 0, stack);
}

PyObject *dumps(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    NativeStack stack;
    stack.check();
    // dumps(value), the common call, of an exact built-in type: nothing to
    // bind, convert or match.
    if (nargs == 1 && kwnames == nullptr) {
        Serializer<true, false> serializer(0, stack);
        if (serializer.write_plain_root(args[0])) return serializer.result();
    }
    Call call{args, nargs, kwnames};
    if (!call.bind()) call.reject(stack);
    PyObject *value = call.bound[kValue];
    if (is_plain(value) || interpreter::is_frozen_dict(value)) return dump(call, nullptr, stack);
    DumpValue matched;
    stack.check_before_python();
    if (!load_dump_value(value, matched)) call.reject(stack);
    return dump(call, &matched, stack);
}

}  // namespace

PyObject *dumps_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    // The errors a walk throws become the Python exceptions pybind11 would
    // have made of them.
    try {
        return dumps(args, nargs, kwnames);
    } catch (py::error_already_set &error) {
        error.restore();
    } catch (const interpreter::PendingError &) {
        // Already set, and fetched only now that the walk has unwound.
        interpreter::settle_pending_error();
    } catch (const std::bad_alloc &error) {
        PyErr_SetString(PyExc_MemoryError, error.what());
    } catch (const std::exception &error) {
        // A MemoryError left pending (the result that could not be made)
        // becomes the RuntimeError's cause, as pybind11 chains it.
        if (PyErr_Occurred())
            py::raise_from(PyExc_RuntimeError, error.what());
        else
            PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

}  // namespace tavrel
