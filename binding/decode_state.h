// What loads keeps for the module's lifetime: its Python types (Tag, Simple,
// the undefined singleton, CBORDecodeError), the datetime names, and the
// cache of short map keys (decode_state.cpp).
#ifndef TAVREL_DECODE_STATE_H
#define TAVREL_DECODE_STATE_H

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "interpreter.h"

namespace tavrel {

// Map keys of up to kMaxSize bytes, each made into a str once and handed out
// again while its slot holds it: records repeat their keys.  A slot is chosen
// by a hash of the bytes; a clash only replaces the slot, so keys chosen to
// clash cost a str each, as without the cache.  Nothing here runs Python
// code, so a loads re-entered from a hook finds the cache consistent.
class KeyCache {
public:
    static constexpr size_t kMaxSize = 32;
    static constexpr size_t kSlots = 1024;

    KeyCache() = default;
    KeyCache(const KeyCache &) = delete;
    KeyCache &operator=(const KeyCache &) = delete;
    ~KeyCache() {
        for (Slot &slot : slots_) Py_XDECREF(slot.str);
    }

    // A new reference to the str of p[0, n), n <= kMaxSize, valid UTF-8.
    PyObject *get(const uint8_t *p, size_t n, bool ascii) {
        uint64_t head = 0, tail = 0;
        // Keys up to 16 bytes are held whole by these two words.
        if (n >= 8) {
            std::memcpy(&head, p, 8);
            std::memcpy(&tail, p + n - 8, 8);
        } else {
            for (size_t i = 0; i < n; ++i) head = head << 8 | p[i];
        }
        Slot &slot = slots_[slot_of(head, tail, n)];
        if (slot.str != nullptr && slot.size == n && slot.head == head && slot.tail == tail &&
            (n <= 16 || std::memcmp(slot.middle, p + 8, n - 16) == 0)) {
            Py_INCREF(slot.str);
            return slot.str;
        }
        PyObject *str = ascii ? interpreter::new_ascii_str(p, n) : interpreter::new_utf8_str(p, n);
        if (str == nullptr) return nullptr;
        Py_INCREF(str);
        PyObject *old = slot.str;
        slot.str = str;
        slot.size = static_cast<uint8_t>(n);
        slot.head = head;
        slot.tail = tail;
        if (n > 16) std::memcpy(slot.middle, p + 8, n - 16);
        Py_XDECREF(old);
        return str;
    }

private:
    struct Slot {
        PyObject *str = nullptr;
        uint64_t head = 0, tail = 0;
        uint8_t size = 0;
        uint8_t middle[kMaxSize - 16];  // the bytes between head and tail
    };

    static size_t slot_of(uint64_t head, uint64_t tail, size_t n) {
        const uint64_t mixed = (head * 0x9E3779B97F4A7C15ull) ^ (tail * 0xC2B2AE3D27D4EB4Full) ^ n;
        return static_cast<size_t>((mixed ^ (mixed >> 29)) * 0xBF58476D1CE4E5B9ull >> 54) & (kSlots - 1);
    }

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
    KeyCache keys;

    DecodeState() = default;
    DecodeState(const DecodeState &) = delete;
    DecodeState &operator=(const DecodeState &) = delete;
    ~DecodeState();

    // Loads the datetime names once; false with the import error pending.
    bool need_datetime();
};

// Creates the state, adds CBORDecodeError, Tag, Simple and undefined to the
// module, and returns the capsule that owns the state (the `self` of loads
// and load); null with an error pending.
PyObject *make_decode_state(PyObject *module);

// The state a capsule made by make_decode_state owns.  The capsule has no
// name: it is only ever the self of loads and load, and a name would cost a
// string comparison per call.
inline DecodeState *decode_state(PyObject *capsule) {
    return static_cast<DecodeState *>(PyCapsule_GetPointer(capsule, nullptr));
}

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
