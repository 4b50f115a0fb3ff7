// What loads keeps for the module's lifetime: its Python types (Tag, Simple,
// the undefined singleton, CBORDecodeError), the datetime names, and the
// cache of short map keys (decode_state.cpp).
#ifndef TAVREL_DECODE_STATE_H
#define TAVREL_DECODE_STATE_H

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

// TAVREL_HOT_INLINE
#include "cbor_decoding.hpp"
#include "cbor_encoding.hpp"
#include "interpreter.h"

namespace tavrel {

// The str of valid UTF-8 p[0, n) whose form the decoder found; a new
// reference, or null.
TAVREL_HOT_INLINE PyObject *new_text(const uint8_t *p, size_t n, const decoding::TextForm &form) {
    return form.ascii() ? interpreter::new_ascii_str(p, n) : interpreter::new_utf8_str(p, n, form.chars, form.widest);
}

// Map keys of up to kMaxSize bytes, each made into a str once and handed out
// again while its slot holds it: records repeat their keys.  A set of slots
// is chosen by a hash of the bytes; a clash only replaces the set's oldest
// slot, so keys chosen to clash cost a str each, as without the cache.  Nothing here runs Python
// code, so a loads re-entered from a hook finds the cache consistent.
class KeyCache {
public:
    static constexpr size_t kMaxSize = 32;
    static constexpr size_t kSlots = 1024;
    // Slots per set: two keys of a record that hash alike still both stay.
    static constexpr size_t kWays = 2;

    KeyCache() = default;
    KeyCache(const KeyCache &) = delete;
    KeyCache &operator=(const KeyCache &) = delete;
    ~KeyCache() {
        for (Slot &slot : slots_) Py_XDECREF(slot.str);
    }

    // A new reference to the str of p[0, n), n <= kMaxSize, when its set
    // holds it; null otherwise.  The bytes need not have been checked: a slot
    // only ever holds valid UTF-8, so equal bytes are valid too.
    TAVREL_HOT_INLINE PyObject *find(const uint8_t *p, size_t n) {
        const Key key(p, n);
        Slot *set = &slots_[key.set() * kWays];
        for (size_t way = 0; way < kWays; ++way) {
            const Slot &slot = set[way];
            if (slot.str != nullptr && slot.size == n && slot.head == key.head && slot.tail == key.tail &&
                (n <= 16 || std::memcmp(slot.middle, p + 8, n - 16) == 0)) {
                Py_INCREF(slot.str);
                return slot.str;
            }
        }
        return nullptr;
    }

    // A new reference to the str of p[0, n), n <= kMaxSize, valid UTF-8,
    // from its set or made and put first there, the set's last one dropped.
    PyObject *get(const uint8_t *p, size_t n, const decoding::TextForm &form) {
        if (PyObject *found = find(p, n)) return found;
        PyObject *str = new_text(p, n, form);
        if (str == nullptr) return nullptr;
        const Key key(p, n);
        Slot *set = &slots_[key.set() * kWays];
        PyObject *dropped = set[kWays - 1].str;
        for (size_t way = kWays - 1; way > 0; --way) set[way] = set[way - 1];
        Slot &slot = set[0];
        Py_INCREF(str);
        slot.str = str;
        slot.size = static_cast<uint8_t>(n);
        slot.head = key.head;
        slot.tail = key.tail;
        if (n > 16) std::memcpy(slot.middle, p + 8, n - 16);
        Py_XDECREF(dropped);
        return str;
    }

private:
    struct Slot {
        PyObject *str = nullptr;
        uint64_t head = 0, tail = 0;
        uint8_t size = 0;
        uint8_t middle[kMaxSize - 16];  // the bytes between head and tail
    };

    // Two words that, with the size, hold a key of up to 16 bytes whole:
    // from 8 bytes on the first and the last eight, overlapping; below that
    // the first and last four, or the first, middle and last byte.
    struct Key {
        uint64_t head = 0, tail = 0;
        size_t size;

        TAVREL_HOT_INLINE Key(const uint8_t *p, size_t n) : size(n) {
            if (n >= 8) {
                std::memcpy(&head, p, 8);
                std::memcpy(&tail, p + n - 8, 8);
            } else if (n >= 4) {
                uint32_t first, last;
                std::memcpy(&first, p, 4);
                std::memcpy(&last, p + n - 4, 4);
                head = first;
                tail = last;
            } else if (n != 0) {
                head = static_cast<uint64_t>(p[0]) | static_cast<uint64_t>(p[n / 2]) << 8 |
                       static_cast<uint64_t>(p[n - 1]) << 16;
            }
        }

        // The top bits of a product depend on every bit of its factor.
        size_t set() const {
            static_assert(kSlots / kWays == 512, "nine bits of set");
            return static_cast<size_t>(((head * 0x9E3779B97F4A7C15ull) ^ tail ^ size) * 0xBF58476D1CE4E5B9ull >> 55);
        }
    };

    Slot slots_[kSlots];
};

struct DecodeState {
    PyObject *error = nullptr;            // CBORDecodeError
    PyTypeObject *tag_type = nullptr;     // Tag
    PyTypeObject *simple_type = nullptr;  // Simple
    PyObject *undefined = nullptr;        // the one instance of UndefinedType
    // Looked up on the first date: datetime.datetime, datetime.timezone,
    // datetime.timedelta and timezone.utc.
    PyObject *datetime = nullptr;
    PyObject *timezone = nullptr;
    PyObject *timedelta = nullptr;
    PyObject *utc = nullptr;
    // The ints 0 ... kSmallInts - 1, made once: a record's counts and flags
    // then cost no call each.
    static constexpr size_t kSmallInts = 256;
    PyObject *small_ints[kSmallInts] = {};
    KeyCache keys;

    DecodeState() = default;
    DecodeState(const DecodeState &) = delete;
    DecodeState &operator=(const DecodeState &) = delete;
    ~DecodeState();

    // Loads the datetime names once; false with the import error pending.
    bool need_datetime();
};

// Creates the state and adds CBORDecodeError, Tag, Simple and undefined to
// the module; null with an error pending.  The caller owns the state.
DecodeState *make_decode_state(PyObject *module);

// The value of a Tag, borrowed.
PyObject *tag_value(PyObject *tag);

// Tag(number, value) and Simple(value) as loads makes them; new references.
PyObject *make_tag(const DecodeState &state, PyObject *number, PyObject *value);
PyObject *make_simple(const DecodeState &state, uint8_t value);

// Drops a reference to a value loads made.  Lists, dicts and Tags that only
// this reference keeps are emptied one at a time from a stack of our own,
// so a deep value is freed in constant native stack: CPython 3.13 by itself
// overflows a 256 KiB thread freeing a 10,000-deep list.
void release_value(const DecodeState &state, PyObject *value);

}  // namespace tavrel

#endif  // TAVREL_DECODE_STATE_H
