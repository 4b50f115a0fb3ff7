// The loads, load and dump entries: arguments, the input buffer held for the
// whole call, and the decoding core run into a Builder.
#include "loads.h"

#include <exception>
#include <new>
#include <string_view>
#include <type_traits>
#include <vector>

#include "call.h"
#include "cbor_decoding.hpp"
#include "decode_state.h"
#include "decoder.h"
#include "errors.h"
#include "interpreter.h"
#include "keywords.h"
#include "module_state.h"

namespace tavrel {

namespace {

enum LoadsParameter { kData, kTagHook, kObjectHook, kMaxDepth, kUnsafeKeys, kLoadsParameters };

// Indexed by LoadsParameter.
constexpr std::string_view kLoadsParameterNames[kLoadsParameters] = {"data", "tag_hook", "object_hook", "max_depth",
                                                                     "unsafe_keys"};
// The parameter of load and dump that loads and dumps do not have.
constexpr std::string_view kFpName[] = {"fp"};

// The arguments of loads by parameter; false with TypeError pending.
bool bind_loads(const char *function, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                PyObject *(&bound)[kLoadsParameters]) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", function, nargs);
        return false;
    }
    if (nargs == 1) bound[kData] = args[0];
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, k);
        const int parameter = keyword_parameter(name, kLoadsParameterNames);
        if (parameter < 0) {
            // Only from 3.9 on does the interpreter refuse **{1: 2} itself.
            if (!PyUnicode_Check(name))
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            else
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, name);
            return false;
        }
        if (bound[parameter] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", function, name);
            return false;
        }
        bound[parameter] = args[nargs + k];
    }
    if (bound[kData] == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument 'data'", function);
        return false;
    }
    return true;
}

bool load_hook(PyObject *arg, const char *name, PyObject *&out) {
    if (arg == nullptr || arg == Py_None) return true;
    if (!PyCallable_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "%s must be callable or None, not %.200s", name, Py_TYPE(arg)->tp_name);
        return false;
    }
    out = arg;
    return true;
}

bool load_options(PyObject *const (&bound)[kLoadsParameters], LoadsOptions &options) {
    if (!load_hook(bound[kTagHook], "tag_hook", options.tag_hook) ||
        !load_hook(bound[kObjectHook], "object_hook", options.object_hook))
        return false;
    if (PyObject *arg = bound[kMaxDepth]) {
        if (!PyLong_Check(arg) || PyBool_Check(arg)) {
            PyErr_Format(PyExc_TypeError, "max_depth must be an int, not %.200s", Py_TYPE(arg)->tp_name);
            return false;
        }
        const Py_ssize_t depth = PyLong_AsSsize_t(arg);
        if (depth == -1 && PyErr_Occurred()) return false;
        if (depth < 0) {
            PyErr_SetString(PyExc_ValueError, "max_depth must be >= 0");
            return false;
        }
        options.max_depth = static_cast<size_t>(depth);
    }
    if (PyObject *arg = bound[kUnsafeKeys]) {
        const int truth = PyObject_IsTrue(arg);
        if (truth < 0) return false;
        options.unsafe_keys = truth != 0;
    }
    return true;
}

// An input other than bytes, held for the call through the buffer protocol,
// which keeps a bytearray from resizing while a hook runs.  Only where it
// does not (kPins false) does the input have a copy to read from.
template <bool kPins>
class BasicHeldInput {
public:
    explicit BasicHeldInput(PyObject *data) {
        if (PyObject_GetBuffer(data, &view_, PyBUF_SIMPLE) != 0) return;
        ok_ = true;
        data_ = static_cast<const uint8_t *>(view_.buf);
        size_ = static_cast<size_t>(view_.len);
        if constexpr (kPins) {
            held_ = true;
        } else {
            // Read from a copy where holding the buffer would not stop a
            // hook from resizing it.
            copy_.assign(data_, data_ + size_);
            data_ = copy_.data();
            PyBuffer_Release(&view_);
        }
    }
    ~BasicHeldInput() {
        if (held_) PyBuffer_Release(&view_);
    }
    BasicHeldInput(const BasicHeldInput &) = delete;
    BasicHeldInput &operator=(const BasicHeldInput &) = delete;

    bool ok() const { return ok_; }
    const uint8_t *data() const { return data_; }
    size_t size() const { return size_; }

private:
    struct NoCopy {};
    Py_buffer view_;
    std::conditional_t<kPins, NoCopy, std::vector<uint8_t>> copy_;
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    bool held_ = false;
    bool ok_ = false;
};

using HeldInput = BasicHeldInput<interpreter::kExportPinsBuffer>;

// From this size on a decode may make enough containers for the collector to
// start on them; below it pausing would cost more than it could save.
constexpr size_t kPauseCollectorFrom = 1024;

PyObject *walk(DecodeState &state, const uint8_t *data, size_t size, const LoadsOptions &options) {
    try {
        // Only hooks run Python code; dates resume the collector themselves.
        interpreter::CollectorPause collector;
        if (size >= kPauseCollectorFrom && options.tag_hook == nullptr && options.object_hook == nullptr)
            collector.pause();
        Builder builder(state, options, collector);
        decoding::Scratch scratch;
        const decoding::Result result = decoding::decode(data, size, options.max_depth, builder, scratch);
        if (result.fault == decoding::Fault::kNone) return builder.take_result();
        if (result.fault != decoding::Fault::kBuilder) set_decode_fault(state.error, result, options.max_depth);
        return nullptr;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return nullptr;
    }
}

PyObject *decode_bytes(DecodeState &state, const uint8_t *data, size_t size, const LoadsOptions &options) {
    // A lone integer, false, true or null needs no stacks: loads(b"\x01") is
    // mostly the cost of setting them up.
    uint8_t initial;
    uint64_t argument;
    if (decoding::lone_scalar(data, size, initial, argument)) return Builder::lone_scalar(state, initial, argument);
    return walk(state, data, size, options);
}

// Any input other than bytes, held (or copied) for the call; kept out of
// line so that the bytes path has no frame of its own to set up.
TAVREL_OUT_OF_LINE PyObject *decode_held(DecodeState &state, PyObject *data, const LoadsOptions &options) {
    try {
        HeldInput input(data);
        if (!input.ok()) return nullptr;
        return decode_bytes(state, input.data(), input.size(), options);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

PyObject *decode(DecodeState &state, PyObject *data, const LoadsOptions &options) {
    // A bytes object cannot change, so it is read in place.
    if (PyBytes_CheckExact(data))
        return decode_bytes(state, reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(data)),
                            static_cast<size_t>(PyBytes_GET_SIZE(data)), options);
    return decode_held(state, data, options);
}

PyObject *loads(const char *function, PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *bound[kLoadsParameters] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    if (!bind_loads(function, args, nargs, kwnames, bound)) return nullptr;
    LoadsOptions options;
    if (!load_options(bound, options)) return nullptr;
    return decode(decode_state(self), bound[kData], options);
}

// kwnames without the item at index skip, and its values after the
// positional arguments kept in forwarded; a new reference, or nullptr when
// nothing is left (or with MemoryError pending, told apart by PyErr_Occurred).
PyObject *keywords_without(PyObject *kwnames, Py_ssize_t skip, PyObject *const *values,
                           std::vector<PyObject *> &forwarded) {
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    const Py_ssize_t kept = keywords - (skip >= 0 ? 1 : 0);
    if (kept == 0) return nullptr;
    // Made at its final size: PyPy reads a tuple's every slot when it first
    // sees it.
    PyObject *names = PyTuple_New(kept);
    if (names == nullptr) return nullptr;
    Py_ssize_t at = 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        if (k == skip) continue;
        PyObject *name = PyTuple_GET_ITEM(kwnames, k);
        Py_INCREF(name);
        PyTuple_SET_ITEM(names, at++, name);
        forwarded.push_back(values[k]);
    }
    return names;
}

}  // namespace

PyObject *loads_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    // loads(data), the common call: nothing to bind, every option its default.
    if (nargs == 1 && kwnames == nullptr) {
        static constexpr LoadsOptions kDefaults{};
        return decode(decode_state(self), args[0], kDefaults);
    }
    return loads("loads", self, args, nargs, kwnames);
}

// load(fp, **options): loads(fp.read(), **options).
PyObject *load_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "load() takes 1 positional argument but %zd were given", nargs);
        return nullptr;
    }
    const Py_ssize_t fp_keyword = keyword_position(kwnames, kFpName, 0);
    if (nargs == 1 && fp_keyword >= 0) {
        PyErr_SetString(PyExc_TypeError, "load() got multiple values for argument 'fp'");
        return nullptr;
    }
    if (nargs == 0 && fp_keyword < 0) {
        PyErr_SetString(PyExc_TypeError, "load() missing required argument 'fp'");
        return nullptr;
    }
    PyObject *fp = nargs == 1 ? args[0] : args[nargs + fp_keyword];
    PyObject *data = PyObject_CallMethod(fp, "read", nullptr);
    if (data == nullptr) return nullptr;
    std::vector<PyObject *> forwarded{data};
    PyObject *options = keywords_without(kwnames, fp_keyword, args + nargs, forwarded);
    PyObject *result = nullptr;
    if (options != nullptr || !PyErr_Occurred()) result = loads("load", self, forwarded.data(), 1, options);
    Py_XDECREF(options);
    Py_DECREF(data);
    return result;
}

// dump(value, fp, indefinite=True, max_depth=0): fp.write(dumps(value, ...)).
PyObject *dump_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    // dumps' own arguments: all but fp, which is the second positional
    // argument or the keyword of that name.
    std::vector<PyObject *> forwarded;
    PyObject *fp = nullptr;
    Py_ssize_t positional = 0;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        if (i == 1) {
            fp = args[i];
        } else {
            forwarded.push_back(args[i]);
            ++positional;
        }
    }
    Py_ssize_t fp_keyword = -1;
    if (fp == nullptr) {
        fp_keyword = keyword_position(kwnames, kFpName, 0);
        if (fp_keyword >= 0) fp = args[nargs + fp_keyword];
    }
    if (fp == nullptr) {
        PyErr_SetString(PyExc_TypeError, "dump() missing required argument 'fp'");
        return nullptr;
    }
    PyObject *kept_names = keywords_without(kwnames, fp_keyword, args + nargs, forwarded);
    if (kept_names == nullptr && PyErr_Occurred()) return nullptr;
    PyObject *encoded = dumps_entry(self, forwarded.data(), positional, kept_names);
    Py_XDECREF(kept_names);
    if (encoded == nullptr) return nullptr;
    PyObject *written = PyObject_CallMethod(fp, "write", "O", encoded);
    Py_DECREF(encoded);
    if (written == nullptr) return nullptr;
    Py_DECREF(written);
    Py_RETURN_NONE;
}

}  // namespace tavrel
