// The dumps entry: binds its arguments and runs the walk the flags choose.
//
// value, indefinite and max_depth come straight from the interpreter's fast
// calling convention and are converted as pybind11's casters would convert
// them; a call that cannot be bound is refused with pybind11's TypeError.
#include "call.h"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <string_view>

#include "dump_value.h"
#include "errors.h"
#include "interpreter.h"
#include "keywords.h"
#include "module_state.h"
#include "native_stack.h"
#include "serializer.h"

namespace tavrel {

namespace {

enum Parameter { kValue, kIndefinite, kMaxDepth, kParameters };

// Indexed by Parameter.
constexpr std::string_view kParameterNames[kParameters] = {"value", "indefinite", "max_depth"};

// The parameter a name written in the caller's source (an exact ASCII str)
// names: -1 for any other name, left to the full binding.  The interpreter interns
// such names, so the name is usually the very object the state holds.
TAVREL_HOT_INLINE int plain_parameter_of(PyObject *name, const ModuleState &state) {
    if (name == state.indefinite_name) return kIndefinite;
    if (name == state.max_depth_name) return kMaxDepth;
    Py_ssize_t size = 0;
    const char *text = interpreter::ascii_chars(name, &size);
    return text != nullptr ? parameter_named(text, size, kParameterNames) : -1;
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
            const int parameter = keyword_parameter(PyTuple_GET_ITEM(kwnames, k), kParameterNames);
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
PyObject *serialize(PyObject *value, const DumpValue *matched, size_t max_depth, NativeStack &stack, SizeHint &hint) {
    Serializer<Indefinite, DepthLimited> serializer(max_depth, stack, hint);
    if (matched != nullptr)
        serializer.visit(*matched);
    else
        serializer.write_plain_root(value);
    return serializer.result();
}

// The flags of a call that need no conversion: indefinite given as True or
// False, max_depth as an int, each at most once.  Reading them runs no
// Python code, so they may be read before the value is matched.
struct PlainFlags {
    bool indefinite = true;
    size_t max_depth = 0;

    // False, with the flags left to the full binding, for anything else.
    TAVREL_HOT_INLINE bool read(PyObject *const *values, PyObject *kwnames, const ModuleState &state) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        if (count == 1) return set(plain_parameter_of(PyTuple_GET_ITEM(kwnames, 0), state), values[0]);
        if (count != 2) return false;
        const int first = plain_parameter_of(PyTuple_GET_ITEM(kwnames, 0), state);
        const int second = plain_parameter_of(PyTuple_GET_ITEM(kwnames, 1), state);
        return first != second && set(first, values[0]) && set(second, values[1]);
    }

    TAVREL_HOT_INLINE bool set(int parameter, PyObject *flag) {
        if (parameter == kIndefinite) {
            if (flag != Py_True && flag != Py_False) return false;
            indefinite = flag == Py_True;
            return true;
        }
        if (parameter != kMaxDepth || !PyLong_CheckExact(flag)) return false;
        int64_t small = 0;
        if (!interpreter::compact_int(flag, small)) return load_max_depth(flag, max_depth);
        max_depth = static_cast<size_t>(small);
        return small >= 0;
    }
};

// A container of an exact built-in type under plain flags, walked without
// binding: null, with nothing written, for any other value.
template <bool Indefinite, bool DepthLimited>
TAVREL_HOT_INLINE PyObject *dump_plain(PyObject *value, size_t max_depth, NativeStack &stack, SizeHint &hint) {
    Serializer<Indefinite, DepthLimited> serializer(max_depth, stack, hint);
    return serializer.write_plain_container(value) ? serializer.result() : nullptr;
}

// The flags are converted after the value, as pybind11 converts arguments in
// order: a value's matching hooks run even when a flag is then refused.
PyObject *dump(const Call &call, const DumpValue *matched, NativeStack &stack, SizeHint &hint) {
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
        return max_depth != 0 ? serialize<true, true>(value, matched, max_depth, stack, hint)
                              : serialize<true, false>(value, matched, 0, stack, hint);
    return max_depth != 0 ? serialize<false, true>(value, matched, max_depth, stack, hint)
                          : serialize<false, false>(value, matched, 0, stack, hint);
}

// Inlined into its entry: for one small value a call more is a fair share.
TAVREL_HOT_INLINE PyObject *dumps(ModuleState &state, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    NativeStack stack;
    stack.check();
    SizeHint &hint = state.sequence_size_hint;
    // dumps(value), the common call, and dumps(value, indefinite=False) and
    // the like, of an exact built-in type: nothing to bind, convert or match.
    PlainFlags flags;
    if (nargs == 1 && (kwnames == nullptr || flags.read(args + 1, kwnames, state))) {
        PyObject *value = args[0];
        // A scalar is written alike under any flags, and needs no serializer.
        if (Py_TYPE(value) != &PyDict_Type) {
            OutputBuffer out;
            if (write_plain_scalar(out, value)) return out.finish();
        }
        PyObject *result;
        if (flags.max_depth == 0)
            result = flags.indefinite ? dump_plain<true, false>(value, 0, stack, hint)
                                      : dump_plain<false, false>(value, 0, stack, hint);
        else
            result = flags.indefinite ? dump_plain<true, true>(value, flags.max_depth, stack, hint)
                                      : dump_plain<false, true>(value, flags.max_depth, stack, hint);
        if (result != nullptr) return result;
    }
    Call call{args, nargs, kwnames};
    if (!call.bind()) call.reject(stack);
    PyObject *value = call.bound[kValue];
    if (is_plain(value) || interpreter::is_frozen_dict(value)) return dump(call, nullptr, stack, hint);
    DumpValue matched;
    stack.check_before_python();
    if (!load_dump_value(value, matched)) call.reject(stack);
    return dump(call, &matched, stack, hint);
}

}  // namespace

PyObject *dumps_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    // The errors a walk throws become the Python exceptions pybind11 would
    // have made of them.
    try {
        return dumps(module_state(self), args, nargs, kwnames);
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
