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
#include <cstring>
#include <forward_list>
#include <stdexcept>
#include <string_view>
#include <variant>
#include <vector>

#include "cbor_encoding.hpp"
#include "depth_limit.h"
#include "dump_value.h"
#include "errors.h"
#include "interpreter.h"
#include "native_stack.h"
#include "output_buffer.h"
#include "output_size.h"
#include "scalar_writers.h"

namespace tavrel {

template <bool Indefinite, bool DepthLimited>
class Serializer {
public:
    Serializer(size_t max_depth, NativeStack &stack, SizeHint &hint) : stack_(stack), hint_(hint) {
        if constexpr (DepthLimited) counter_.max_depth = max_depth;
    }

    // The top-level value: false, with nothing written, when it is not of
    // an exact built-in type and so needs matching first.  A record or a
    // plain scalar goes straight to its writer: for one small value the call
    // through write_element is a fair share of the whole.
    TAVREL_HOT_INLINE bool write_plain_root(PyObject *value) {
        if (Py_TYPE(value) != &PyDict_Type && write_plain_scalar(value)) return true;
        return write_plain_container(value);
    }
    // The same for a top-level container of an exact built-in type.
    TAVREL_HOT_INLINE bool write_plain_container(PyObject *value) {
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyDict_Type) {
            if (interpreter::dict_size(value) < kFloorFrom)
                write_dict(value);
            else
                write_root_dict(value);
        } else if (type == &PyList_Type) {
            write_root_sequence<ListItems>(value);
        } else if (type == &PyTuple_Type) {
            write_root_sequence<TupleItems>(value);
        } else if (interpreter::is_frozen_dict(value)) {
            write_dict(value);
        } else {
            return false;
        }
        return true;
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
    void operator()(const py::bytes &value) { write_bytes_object(out_, interpreter::stored_bytes(value.ptr()).ptr()); }
    void operator()(const py::str &value) { write_str_object(out_, interpreter::stored_str(value.ptr()).ptr()); }
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
        // A frozendict is stored as a dict is, and runs no Python code either.
        if (interpreter::is_frozen_dict(item)) return write_dict(item);
        write_matched(item);
    }

    // Matching may run the value's own Python code: leave it the room
    // ordinary code needs, and note that containers may have changed.
    TAVREL_OUT_OF_LINE void write_matched(PyObject *item) {
        stack_.check_before_python();
        ++python_runs_;
        if (open_dicts_ != nullptr) hold_walked_keys();
        visit(element_value(item));
    }

    TAVREL_HOT_INLINE bool write_plain_scalar(PyObject *item) { return tavrel::write_plain_scalar(out_, item); }

    // Anything but a plain scalar is held by a strong reference while it is
    // written: the Python code its conversion or its elements run may drop it.
    TAVREL_HOT_INLINE void write_held(PyObject *item) {
        py::object held = py::reinterpret_borrow<py::object>(item);
        write_compound(held.ptr());
    }

    using ListItems = interpreter::ListItems;
    using TupleItems = interpreter::TupleItems;

    // A list or tuple of large strings is given its final size at once.
    // Otherwise a long one reserves at once the least its output can be, a
    // byte an item, or what the last such output took: one block that the C
    // allocator extends in place (or maps, when large), not a climb through
    // smaller blocks it moves and leaves behind, resident.
    template <typename Items>
    TAVREL_OUT_OF_LINE void write_root_sequence(PyObject *seq) {
        const Py_ssize_t count = Items::size(seq);
        size_t size = bulk_output_size<Items, Indefinite>(seq);
        const bool floored = size == 0 && count >= kFloorFrom;
        if (floored) size = sequence_reservation<Indefinite>(count, hint_);
        if (size != 0) out_.reserve(size);
        write_sequence<Items>(seq);
        if (floored) hint_.store(out_.size(), std::memory_order_relaxed);
    }
    static constexpr Py_ssize_t kFloorFrom = 512;

    // A long dict at the top reserves what the last long output took, when
    // that is in reason for its size, and keeps its own size for the next.
    TAVREL_OUT_OF_LINE void write_root_dict(PyObject *dict) {
        const size_t size = dict_reservation<Indefinite>(interpreter::dict_size(dict), hint_);
        if (size != 0) out_.reserve(size);
        write_dict(dict);
        hint_.store(out_.size(), std::memory_order_relaxed);
    }

    // A list of floats (samples, vectors) is written here from the float at
    // i on while its items are floats: room for a batch of them is reserved
    // at once and the position stays in a register.  They are all at the
    // level of the first, which the caller has checked, and run no Python
    // code.
    static constexpr Py_ssize_t kFloatRunFrom = 8;
    template <typename Items>
    TAVREL_OUT_OF_LINE Py_ssize_t write_floats(PyObject *seq, Py_ssize_t i, Py_ssize_t end) {
        constexpr Py_ssize_t kBatch = 32;
        PyObject *const *items = Items::array(seq);
        do {
            Py_ssize_t stop = end - i < kBatch ? end : i + kBatch;
            // A shorter batch when the room left is short of a whole one:
            // an output reserved at its known size then never grows at its
            // last floats.
            if (out_.room() < static_cast<size_t>(kBatch) * kMaxHead) {
                const Py_ssize_t fit = static_cast<Py_ssize_t>(out_.room() / kMaxHead);
                if (fit < stop - i && fit != 0) stop = i + fit;
            }
            uint8_t *at = out_.reserve(static_cast<size_t>(stop - i) * kMaxHead);
            do {
                const double x = PyFloat_AS_DOUBLE(items[i]);
                uint64_t bits;
                std::memcpy(&bits, &x, sizeof bits);
                at += store_float(at, bits);
            } while (++i < stop && Py_TYPE(items[i]) == &PyFloat_Type);
            out_.commit(at);
        } while (i < end && Py_TYPE(items[i]) == &PyFloat_Type);
        return i;
    }

    // Whether writing the item may have run Python code.  A plain scalar
    // runs none, so only the other items take the count.
    template <typename Items>
    TAVREL_HOT_INLINE bool write_item(PyObject *seq, Py_ssize_t i) {
        if constexpr (interpreter::kItemsAreNewReferences) {
            // PyPy hands out items one at a time, as new references.
            const uint64_t runs = python_runs_;
            py::object held = Items::item(seq, i);
            write_element(held.ptr());
            return runs != python_runs_;
        } else {
            PyObject *item = Items::borrowed(seq, i);
            if (write_plain_scalar(item)) return false;
            const uint64_t runs = python_runs_;
            write_held(item);
            return runs != python_runs_;
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
        Py_ssize_t i = 0;
        if constexpr (!interpreter::kItemsAreNewReferences) {
            // Only a list long enough to pay for the run's set-up, and only
            // from its start: a check per item would cost every other list.
            if (count >= kFloatRunFrom && Py_TYPE(Items::borrowed(seq, 0)) == &PyFloat_Type) {
                DepthLevel<DepthLimited> level(counter_);
                i = write_floats<Items>(seq, 0, count);
            }
        }
        for (; i < now; ++i) {
            DepthLevel<DepthLimited> level(counter_);
            // Python code run by a conversion may have resized the list, and
            // moved its storage: the indefinite framing follows it as it now
            // is, the definite one refuses it.
            if (write_item<Items>(seq, i)) {
                now = Items::size(seq);
                if constexpr (!Indefinite && Items::kCanChange) {
                    if (now != count) throw std::runtime_error(kListChangedText);
                }
            }
        }
        if constexpr (Indefinite) out_.put(kBreak);
    }

    // A dict whose walk is under way.  Python code can empty and refill it
    // to the same size and table, or reorder a split table, and the walk's
    // position would then meet a key again.  So before Python code runs,
    // the walks of the open dicts hold the keys they have written so far,
    // and a walk that did so checks them once it ends.
    struct OpenDict {
        interpreter::DictEntries entries;
        OpenDict *outer;
        interpreter::HeldKeys *held;
    };

    // Only the innermost dict that already holds keys can have walked on
    // since Python code last ran: those around it are still at the entry
    // that holds it.
    TAVREL_OUT_OF_LINE void hold_walked_keys() {
        for (OpenDict *open = open_dicts_; open != nullptr; open = open->outer) {
            const bool was_held = open->held != nullptr;
            if (!was_held) {
                open->held = &held_keys_.emplace_front();
            }
            open->entries.hold_walked(*open->held);
            if (was_held) break;
        }
    }

    // Whether writing the entry may have run Python code, as write_item.
    TAVREL_HOT_INLINE bool write_entry(PyObject *key, PyObject *value) {
        DepthLevel<DepthLimited> level(counter_);
        if (write_plain_scalar(key)) {
            level.check();
            if (write_plain_scalar(value)) return false;
            const uint64_t runs = python_runs_;
            write_held(value);
            return runs != python_runs_;
        }
        // Both are held before either is converted: converting the key may
        // run code that deletes the entry.
        const uint64_t runs = python_runs_;
        py::object held_key = py::reinterpret_borrow<py::object>(key);
        py::object held_value = py::reinterpret_borrow<py::object>(value);
        write_compound(held_key.ptr());
        level.check();
        write_element(held_value.ptr());
        return runs != python_runs_;
    }

    TAVREL_OUT_OF_LINE void write_dict(PyObject *dict) {
        stack_.check();
        const Py_ssize_t count = interpreter::dict_size(dict);
        if constexpr (Indefinite)
            out_.put(kMajorMap << 5 | 31);
        else
            write_head(out_, kMajorMap, static_cast<uint64_t>(count));
        // Linked while the walk lasts; an error ends the whole call, so only
        // the normal end unlinks it.
        OpenDict open{interpreter::DictEntries(dict), open_dicts_, nullptr};
        open_dicts_ = &open;
        Py_ssize_t written = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (open.entries.next(&key, &value)) {
            if (++written > count) throw std::runtime_error(kKeysChangedText);
            // Only Python code can change the dict; when none ran for this
            // entry, the next one needs no checks.
            if (write_entry(key, value)) open.entries.check_unchanged(count);
        }
        if (written != count) throw std::runtime_error(kKeysChangedText);
        if (open.held != nullptr) check_written_once(open);
        open_dicts_ = open.outer;
        if constexpr (Indefinite) out_.put(kBreak);
    }

    // No key of a dict whose walk ran Python code may have been written
    // twice: checked by the dict's own equality, whose hashing and
    // comparing may run the keys' code, with the room Python code needs.
    TAVREL_OUT_OF_LINE void check_written_once(OpenDict &open) {
        open.entries.hold_walked(*open.held);
        std::vector<py::object> keys = std::move(open.held->keys);
        stack_.check_before_python();
        ++python_runs_;
        py::object seen = py::reinterpret_steal<py::object>(PySet_New(nullptr));
        if (!seen) interpreter::raise_pending();
        for (const py::object &key : keys)
            if (PySet_Add(seen.ptr(), key.ptr()) < 0) interpreter::raise_pending();
        if (static_cast<size_t>(PySet_Size(seen.ptr())) != keys.size()) throw std::runtime_error(kKeysChangedText);
    }

    OutputBuffer out_;
    DepthCounter<DepthLimited> counter_;
    NativeStack &stack_;
    // The module's record of the last long output at the top.
    SizeHint &hint_;
    // Bumped whenever Python code of the caller's may run.
    uint64_t python_runs_ = 0;
    // The innermost dict being walked.
    OpenDict *open_dicts_ = nullptr;
    // What hold_walked_keys() took, until the call ends: a list, whose
    // entries stay put, and which costs a call that took none one test.
    std::forward_list<interpreter::HeldKeys> held_keys_;
};

}  // namespace tavrel

#endif  // TAVREL_SERIALIZER_H
