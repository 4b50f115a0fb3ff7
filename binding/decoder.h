// The builder that the decoding core (cbor_decoding.hpp) hands every value
// to: Python objects made bottom-up on a stack of its own, containers made
// once their items are all there, hooks called with complete values.
#ifndef TAVREL_DECODER_H
#define TAVREL_DECODER_H

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cbor_decoding.hpp"
#include "decode_state.h"
#include "interpreter.h"

namespace tavrel {

// The deepest a key let in by unsafe_keys may nest arrays and tags.
constexpr size_t kMaxKeyNesting = 100;

struct LoadsOptions {
    PyObject *tag_hook = nullptr;     // null for None
    PyObject *object_hook = nullptr;  // null for None
    size_t max_depth = 10000;         // 0: no limit
    bool unsafe_keys = false;
};

class Builder {
public:
    // The collector, if paused, is resumed before any Python code runs.
    Builder(DecodeState &state, const LoadsOptions &options, interpreter::CollectorPause &collector)
        : state_(state), options_(options), collector_(collector) {}
    ~Builder() {
        for (size_t i = 0; i < values_.size(); ++i) release_value(state_, values_[i]);
    }
    Builder(const Builder &) = delete;
    Builder &operator=(const Builder &) = delete;

    // The decoded value, once the core reported success; a new reference.
    PyObject *take_result() {
        PyObject *result = values_.back();
        values_.pop_back();
        return result;
    }

    // The value of a whole input that decoding::lone_scalar accepted: an
    // integer, false, true or null; a new reference, or null.
    static PyObject *lone_scalar(DecodeState &state, uint8_t initial, uint64_t argument) {
        if (initial < 0x20) {
            if (argument >= DecodeState::kSmallInts) return make_uint(argument);
            PyObject *small = state.small_ints[argument];
            Py_INCREF(small);
            return small;
        }
        if (initial < 0x40) return make_negint(argument);
        return make_known_simple(initial & 0x1F);
    }

    // ---- What the decoding core calls --------------------------------------

    TAVREL_HOT_INLINE bool uint(uint64_t n) {
        if (n < DecodeState::kSmallInts) {
            PyObject *small = state_.small_ints[n];
            Py_INCREF(small);
            return push(small);
        }
        return push(make_uint(n));
    }
    TAVREL_HOT_INLINE bool negint(uint64_t n) { return push(make_negint(n)); }

    TAVREL_HOT_INLINE bool bytes(const uint8_t *p, size_t n) { return push(interpreter::new_bytes(p, n)); }

    // A map key already in the cache, pushed: 1; not there: 0.
    TAVREL_HOT_INLINE int known_key(const uint8_t *p, size_t n) {
        if (n > KeyCache::kMaxSize) return 0;
        PyObject *str = state_.keys.find(p, n);
        return str == nullptr ? 0 : push(str) ? 1 : -1;
    }

    TAVREL_HOT_INLINE bool text(const uint8_t *p, size_t n, const decoding::TextForm &form, bool key) {
        if (key && n <= KeyCache::kMaxSize) return push(state_.keys.get(p, n, form));
        return push(new_text(p, n, form));
    }

    TAVREL_HOT_INLINE bool float_bits(uint64_t bits) {
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return push(PyFloat_FromDouble(value));
    }

    TAVREL_HOT_INLINE bool simple(uint8_t value) {
        // false, true and null are common enough to skip the call.
        if (value - 20u <= 2u) return push(make_known_simple(value));
        return other_simple(value);
    }

    TAVREL_HOT_INLINE bool array(size_t count) {
        PyObject *list = interpreter::list_of(values_.data() + values_.size() - count, count);
        // Taken over by the list, made or not.
        values_.resize(values_.size() - count);
        return push(list);
    }

    bool map(size_t pairs, const uint8_t *data, size_t offset);
    bool tag(uint64_t number, size_t offset);

    // An array, map or tag at a key's place, refused or let in (and frozen).
    bool key(uint8_t initial, size_t offset);

private:
    static TAVREL_HOT_INLINE PyObject *make_uint(uint64_t n) {
        return n <= static_cast<uint64_t>(INT64_MAX) ? PyLong_FromLongLong(static_cast<long long>(n))
                                                     : PyLong_FromUnsignedLongLong(n);
    }

    static TAVREL_HOT_INLINE PyObject *make_negint(uint64_t n) {
        if (n <= static_cast<uint64_t>(INT64_MAX)) return PyLong_FromLongLong(-1 - static_cast<long long>(n));
        return invert(PyLong_FromUnsignedLongLong(n));
    }

    // false, true or null (20, 21, 22).
    static TAVREL_HOT_INLINE PyObject *make_known_simple(uint8_t value) {
        PyObject *known = value == 20 ? Py_False : value == 21 ? Py_True : Py_None;
        Py_INCREF(known);
        return known;
    }

    TAVREL_HOT_INLINE bool push(PyObject *value) {
        if (value == nullptr) return false;
        try {
            values_.push_back(value);
        } catch (...) {
            Py_DECREF(value);
            throw;
        }
        return true;
    }

    // ~n (that is -1 - n), consuming n.
    static PyObject *invert(PyObject *n);

    // The value on top replaced by `value` (a new reference, or null).
    bool replace_top(PyObject *value);

    // undefined and the simple values without a Python counterpart.
    bool other_simple(uint8_t value);
    bool date_text(size_t offset);
    bool epoch(size_t offset);
    bool refuse(const char *what, size_t offset);
    // The offset of a map's index-th key, for the error that names it.
    static size_t key_at(const uint8_t *data, size_t offset, size_t index);

    DecodeState &state_;
    const LoadsOptions &options_;
    interpreter::CollectorPause &collector_;
    // Values made and not yet taken into their container, with a reference each.
    decoding::SmallStack<PyObject *, 64> values_;
};

}  // namespace tavrel

#endif  // TAVREL_DECODER_H
