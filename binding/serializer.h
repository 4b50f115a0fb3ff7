// Serializer: walks a value and writes its CBOR into one output buffer.
//
// The walk of containers is here, with its guards against Python code that
// changes them; scalars are written by scalar_writers.h.  Framing and the
// depth limit are template parameters, fixed once per call.
#ifndef TAVREL_SERIALIZER_H
#define TAVREL_SERIALIZER_H

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <variant>

#include "cbor_encoding.hpp"
#include "depth_limit.h"
#include "dump_value.h"
#include "errors.h"
#include "interpreter.h"
#include "native_stack.h"
#include "output_buffer.h"
#include "scalar_writers.h"

namespace tavrel {

template <bool Indefinite, bool DepthLimited>
class Serializer {
public:
    Serializer(size_t max_depth, NativeStack &stack) : stack_(stack) {
        if constexpr (DepthLimited) counter_.max_depth = max_depth;
    }

    // The top-level value, of an exact built-in type or already matched.
    // A record or a plain scalar goes straight to its writer: for one small
    // value the call through write_element is a fair share of the whole.
    void write_root(PyObject *value) {
        if (Py_TYPE(value) == &PyDict_Type) return write_dict(value);
        if (!write_plain_scalar(value)) write_element(value);
    }
    void visit(const DumpValue &value) {
        std::visit([this](const auto &alternative) { (*this)(alternative); }, value);
    }

    PyObject *result() { return out_.finish(); }

    void operator()(const py::bool_ &value) { write_bool(out_, PyLong_AsLong(value.ptr()) != 0); }
    void operator()(const py::float_ &value) { write_float_object(out_, value.ptr()); }
    void operator()(const py::int_ &value) { write_int_object(out_, value.ptr()); }
    void operator()(const py::list &value) { write_sequence<ListItems>(value.ptr()); }
    void operator()(const py::tuple &value) { write_sequence<TupleItems>(value.ptr()); }
    void operator()(const py::dict &value) { write_dict(value.ptr()); }
    void operator()(const py::bytes &value) { write_bytes_object(out_, value.ptr()); }
    void operator()(const py::str &value) { write_str_object(out_, value.ptr()); }
    void operator()(bool value) { write_bool(out_, value); }
    void operator()(uint64_t value) { write_head(out_, kMajorUint, value); }
    void operator()(int64_t value) { write_signed(out_, value); }
    void operator()(std::string_view value) { write_string(out_, kMajorText, value.data(), value.size()); }
    void operator()(const py::none &) { out_.put(kNull); }

private:
    // The inlining of the walk is fixed here rather than left to the
    // compiler's budget, which moves when code moves between files: per
    // serializer, one out-of-line function per container kind and one for
    // any element, with everything an element's dispatch needs inlined in.
    //
    // Exact built-in types take the alternative matching would give them,
    // without building a DumpValue: no Python code can run for them.  Every
    // other object goes through the full matching.
    TAVREL_OUT_OF_LINE void write_element(PyObject *item) {
        if (!write_plain_scalar(item)) write_compound(item);
    }

    // Containers of exact types, and everything that needs matching.
    TAVREL_HOT_INLINE void write_compound(PyObject *item) {
        PyTypeObject *type = Py_TYPE(item);
        if (type == &PyDict_Type) return write_dict(item);
        if (type == &PyList_Type) return write_sequence<ListItems>(item);
        if (type == &PyTuple_Type) return write_sequence<TupleItems>(item);
        // Matching may run the value's own Python code: leave it the room
        // ordinary code needs, and note that containers may have changed.
        stack_.check_before_python();
        ++python_runs_;
        visit(element_value(item));
    }

    // Scalars of exact built-in types, written in place.  Writing them runs
    // no Python code, so a borrowed reference to them stays valid meanwhile.
    // Ordered by how often real documents hold them.
    TAVREL_HOT_INLINE bool write_plain_scalar(PyObject *item) {
        PyTypeObject *type = Py_TYPE(item);
        if (type == &PyUnicode_Type)
            write_str_object(out_, item);
        else if (type == &PyLong_Type)
            write_exact_int(out_, item);
        else if (type == &PyFloat_Type)
            write_float(out_, PyFloat_AS_DOUBLE(item));
        else if (type == &PyBool_Type)
            write_bool(out_, item == Py_True);
        else if (item == Py_None)
            out_.put(kNull);
        else if (type == &PyBytes_Type)
            write_bytes_object(out_, item);
        else
            return false;
        return true;
    }

    // Anything but a plain scalar is held by a strong reference while it is
    // written: the Python code its conversion or its elements run may drop it.
    TAVREL_HOT_INLINE void write_held(PyObject *item) {
        py::object held = py::reinterpret_borrow<py::object>(item);
        write_compound(held.ptr());
    }

    using ListItems = interpreter::ListItems;
    using TupleItems = interpreter::TupleItems;

    template <typename Items>
    TAVREL_HOT_INLINE void write_item(PyObject *seq, Py_ssize_t i) {
        if constexpr (interpreter::kItemsAreNewReferences) {
            // PyPy hands out items one at a time, as new references.
            py::object held = Items::item(seq, i);
            write_element(held.ptr());
        } else {
            PyObject *item = Items::borrowed(seq, i);
            if (!write_plain_scalar(item)) write_held(item);
        }
    }

    template <typename Items>
    TAVREL_OUT_OF_LINE void write_sequence(PyObject *seq) {
        stack_.check();
        const Py_ssize_t count = Items::size(seq);
        if constexpr (Indefinite)
            out_.put(kMajorArray << 5 | 31);
        else
            write_head(out_, kMajorArray, static_cast<uint64_t>(count));
        Py_ssize_t now = count;
        for (Py_ssize_t i = 0; i < now; ++i) {
            DepthLevel<DepthLimited> level(counter_);
            const uint64_t runs = python_runs_;
            write_item<Items>(seq, i);
            // Python code run by a conversion may have resized the list, and
            // moved its storage: the indefinite framing follows it as it now
            // is, the definite one refuses it.
            if (runs != python_runs_) {
                now = Items::size(seq);
                if constexpr (!Indefinite && Items::kCanChange) {
                    if (now != count) throw std::runtime_error(kListChangedText);
                }
            }
        }
        if constexpr (Indefinite) out_.put(kBreak);
    }

    TAVREL_OUT_OF_LINE void write_dict(PyObject *dict) {
        stack_.check();
        const Py_ssize_t count = interpreter::dict_size(dict);
        if constexpr (Indefinite)
            out_.put(kMajorMap << 5 | 31);
        else
            write_head(out_, kMajorMap, static_cast<uint64_t>(count));
        interpreter::DictEntries entries(dict);
        Py_ssize_t written = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (entries.next(&key, &value)) {
            if (++written > count) throw std::runtime_error(kKeysChangedText);
            const uint64_t runs = python_runs_;
            DepthLevel<DepthLimited> level(counter_);
            if (write_plain_scalar(key)) {
                level.check();
                if (!write_plain_scalar(value)) write_held(value);
            } else {
                // Both are held before either is converted: converting the
                // key may run code that deletes the entry.
                py::object held_key = py::reinterpret_borrow<py::object>(key);
                py::object held_value = py::reinterpret_borrow<py::object>(value);
                write_compound(held_key.ptr());
                level.check();
                write_element(held_value.ptr());
            }
            // Only Python code can change the dict; when none ran for this
            // entry, the next one needs no checks.
            if (runs != python_runs_) entries.check_unchanged(count);
        }
        if (written != count) throw std::runtime_error(kKeysChangedText);
        if constexpr (Indefinite) out_.put(kBreak);
    }

    OutputBuffer out_;
    DepthCounter<DepthLimited> counter_;
    NativeStack &stack_;
    // Bumped whenever Python code of the caller's may run.
    uint64_t python_runs_ = 0;
};

}  // namespace tavrel

#endif  // TAVREL_SERIALIZER_H
