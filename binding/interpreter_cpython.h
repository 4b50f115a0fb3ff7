// CPython's side of the interpreter access layer declared in interpreter.h.
#ifndef TAVREL_INTERPRETER_CPYTHON_H
#define TAVREL_INTERPRETER_CPYTHON_H

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "cbor_encoding.hpp"
#include "errors.h"

namespace tavrel {
namespace interpreter {

namespace py = pybind11;

// Never thrown: CPython's errors are raised as pybind11's.
struct PendingError {};

[[noreturn]] inline void raise_pending() { throw py::error_already_set(); }

// CPython's errors need no settling.
inline void settle_pending_error() {}

constexpr bool kItemsAreNewReferences = false;

struct ListItems {
    static constexpr bool kCanChange = true;
    static Py_ssize_t size(PyObject *seq) { return PyList_GET_SIZE(seq); }
    static PyObject *borrowed(PyObject *seq, Py_ssize_t i) { return PyList_GET_ITEM(seq, i); }
    // The items in place, valid until Python code runs.
    static PyObject *const *array(PyObject *seq) { return reinterpret_cast<PyListObject *>(seq)->ob_item; }
    static py::object item(PyObject *seq, Py_ssize_t i) { return py::reinterpret_borrow<py::object>(borrowed(seq, i)); }
};

struct TupleItems {
    static constexpr bool kCanChange = false;
    static Py_ssize_t size(PyObject *seq) { return PyTuple_GET_SIZE(seq); }
    static PyObject *borrowed(PyObject *seq, Py_ssize_t i) { return PyTuple_GET_ITEM(seq, i); }
    static PyObject *const *array(PyObject *seq) { return reinterpret_cast<PyTupleObject *>(seq)->ob_item; }
    static py::object item(PyObject *seq, Py_ssize_t i) { return py::reinterpret_borrow<py::object>(borrowed(seq, i)); }
};

inline Py_ssize_t dict_size(PyObject *dict) { return PyDict_GET_SIZE(dict); }

// The entry table of a dict whose layout this build knows, read in place:
// CPython's own private structs up to the entries, mirrored field for field.
// Elsewhere (another version, a debug or free-threaded build) PyDict_Next.
#if defined(Py_DEBUG) || defined(Py_GIL_DISABLED)
#define TAVREL_DICT_TABLE 0
#elif PY_VERSION_HEX >= 0x03070000 && PY_VERSION_HEX < 0x030B0000
#define TAVREL_DICT_TABLE 1
// 3.7 to 3.10: the index table is dk_size indices of 1, 2, 4 or 8 bytes
// each, and every entry is hash, key, value.
struct DictKeysLayout {
    Py_ssize_t refcnt;
    Py_ssize_t size;
    void *lookup;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};

inline size_t dict_index_bytes(const DictKeysLayout *keys) {
    const uint64_t size = static_cast<uint64_t>(keys->size);
    const unsigned width = size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffff ? 4 : 8;
    return static_cast<size_t>(size) * width;
}
inline bool dict_entries_have_hash(const DictKeysLayout *) { return true; }
#elif PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x03100000
#define TAVREL_DICT_TABLE 1
// 3.11 to 3.15: the index table is 2 ** log2_index_bytes bytes, and an entry
// of a table of str keys (any kind but DICT_KEYS_GENERAL, 0) has no hash.
struct DictKeysLayout {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};

inline size_t dict_index_bytes(const DictKeysLayout *keys) { return size_t{1} << keys->log2_index_bytes; }
inline bool dict_entries_have_hash(const DictKeysLayout *keys) { return keys->kind == 0; }
#else
#define TAVREL_DICT_TABLE 0
#endif

// After Python code ran, the dict must still have its size and its entry
// table: a key popped and inserted again can compact the table, and
// positions taken before would then skip one entry and repeat another.
//
// A combined table (no split values) is walked in place, as PyDict_Next
// walks it: entry by entry, skipping deleted ones (no value).  The table
// is read as pointer-sized words, key and value the last two of an entry;
// a position is an entry's index plus one, as PyDict_Next's is.
class DictEntries {
public:
    explicit DictEntries(PyObject *dict) : dict_(dict), table_(table_of(dict)) { locate(0); }

    bool next(PyObject **key, PyObject **value) {
        if (stride_ == 0) return PyDict_Next(dict_, &position_, key, value) != 0;
        for (; at_ < end_; at_ += stride_) {
            if (at_[1] != nullptr) {
                *key = at_[0];
                *value = at_[1];
                at_ += stride_;
                return true;
            }
        }
        return false;
    }

    // The table is found again, at the same position: another thread may
    // have freed it and had a new one made at the same address.
    void check_unchanged(Py_ssize_t count) {
        if (PyDict_GET_SIZE(dict_) != count) throw std::runtime_error(kDictChangedText);
        if (table_of(dict_) != table_) throw std::runtime_error(kKeysChangedText);
        locate(position());
    }

    // The dict cannot have changed since Python code last ran: the keys at
    // the positions walked since are the ones handed out.
    void hold_walked(HeldKeys &held) const {
        const Py_ssize_t walked = position();
        PyObject *key = nullptr, *value = nullptr;
        while (held.walked < walked && PyDict_Next(dict_, &held.walked, &key, &value))
            held.keys.push_back(py::reinterpret_borrow<py::object>(key));
    }

private:
    static const void *table_of(PyObject *dict) { return reinterpret_cast<PyDictObject *>(dict)->ma_keys; }

    Py_ssize_t position() const { return stride_ == 0 ? position_ : (at_ - first_) / stride_; }

    void locate(Py_ssize_t position) {
        position_ = position;
#if TAVREL_DICT_TABLE
        stride_ = 0;
        if (reinterpret_cast<PyDictObject *>(dict_)->ma_values != nullptr) return;
        const auto *keys = static_cast<const DictKeysLayout *>(table_);
        stride_ = dict_entries_have_hash(keys) ? 3 : 2;
        const char *indices = reinterpret_cast<const char *>(keys + 1);
        first_ = reinterpret_cast<PyObject *const *>(indices + dict_index_bytes(keys)) + (stride_ - 2);
        end_ = first_ + keys->nentries * stride_;
        at_ = position < keys->nentries ? first_ + position * stride_ : end_;
#endif
    }

    PyObject *dict_;
    const void *table_;
    // Walking the table in place: its words per entry, the key of its first
    // entry, of the next one and past its last; 0 where PyDict_Next walks.
    Py_ssize_t stride_ = 0;
    PyObject *const *first_ = nullptr;
    PyObject *const *at_ = nullptr;
    PyObject *const *end_ = nullptr;
    Py_ssize_t position_ = 0;
};

inline auto stored_str(PyObject *obj) { return py::handle(obj); }
inline auto stored_bytes(PyObject *obj) { return py::handle(obj); }

// The UTF-8 form cached by the str itself; a compact ASCII str is its own.
// A cached form is read in place, and made only the first time.
inline const char *str_utf8(PyObject *str, Py_ssize_t *size) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        *size = PyUnicode_GET_LENGTH(str);
        return static_cast<const char *>(PyUnicode_DATA(str));
    }
    const auto *compact = reinterpret_cast<const PyCompactUnicodeObject *>(str);
    if (compact->utf8 != nullptr) {
        *size = compact->utf8_length;
        return compact->utf8;
    }
    return PyUnicode_AsUTF8AndSize(str, size);
}

inline const char *ascii_chars(PyObject *obj, Py_ssize_t *size) {
    if (Py_TYPE(obj) != &PyUnicode_Type || !PyUnicode_IS_COMPACT_ASCII(obj)) return nullptr;
    *size = PyUnicode_GET_LENGTH(obj);
    return reinterpret_cast<const char *>(reinterpret_cast<PyASCIIObject *>(obj) + 1);
}

inline bool compact_int(PyObject *obj, int64_t &out) {
#if PY_VERSION_HEX >= 0x030C0000
    auto *number = reinterpret_cast<PyLongObject *>(obj);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    out = static_cast<int64_t>(PyUnstable_Long_CompactValue(number));
    return true;
#elif PY_VERSION_HEX >= 0x030B0000
    const Py_ssize_t size = Py_SIZE(obj);
    if (size < -1 || size > 1) return false;
    out = static_cast<int64_t>(size) * static_cast<int64_t>(reinterpret_cast<PyLongObject *>(obj)->ob_digit[0]);
    return true;
#else
    (void)obj;
    (void)out;
    return false;
#endif
}

inline bool int_magnitude(PyObject *obj, bool &negative, uint64_t &magnitude) {
#if PY_VERSION_HEX >= 0x030B0000
    const auto *number = reinterpret_cast<const PyLongObject *>(obj);
#if PY_VERSION_HEX >= 0x030C0000
    const uintptr_t tag = number->long_value.lv_tag;
    const size_t count = static_cast<size_t>(tag >> _PyLong_NON_SIZE_BITS);
    negative = (tag & _PyLong_SIGN_MASK) == 2;
    const digit *digits = number->long_value.ob_digit;
#else
    const Py_ssize_t size = Py_SIZE(obj);
    const size_t count = static_cast<size_t>(size < 0 ? -size : size);
    negative = size < 0;
    const digit *digits = number->ob_digit;
#endif
#if PyLong_SHIFT == 30
    // Two or three 30-bit digits: the ints past one digit that fit 64 bits.
    if (count == 3) {
        if ((digits[2] >> 4) != 0) return false;
        magnitude = uint64_t{digits[2]} << 60 | uint64_t{digits[1]} << 30 | digits[0];
        return true;
    }
    if (count == 2) {
        magnitude = uint64_t{digits[1]} << 30 | digits[0];
        return true;
    }
#endif
    uint64_t value = 0;
    for (size_t i = count; i-- > 0;) {
        if ((value >> (64 - PyLong_SHIFT)) != 0) return false;
        value = value << PyLong_SHIFT | digits[i];
    }
    magnitude = value;
    return true;
#else
    (void)obj;
    (void)negative;
    (void)magnitude;
    return false;
#endif
}

// The output grows inside the result bytes object itself, which is then
// handed over without a copy.
inline uint8_t *storage_data(void *block) {
    return reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(static_cast<PyObject *>(block)));
}

inline void *storage_make(const uint8_t *from, size_t used, size_t size) {
    PyObject *bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    std::memcpy(PyBytes_AS_STRING(bytes), from, used);
    return bytes;
}

inline void storage_resize(void *&block, size_t size) {
    PyObject *bytes = static_cast<PyObject *>(block);
    // On failure the object is gone and MemoryError is set.
    block = nullptr;
    if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(size)) < 0) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    block = bytes;
}

inline void storage_release(void *block) { Py_XDECREF(static_cast<PyObject *>(block)); }

// The result is shrunk to its size: a result the caller keeps costs what it
// holds.  Shrinking moves nothing: glibc gives a mapped block's tail back
// with mremap and splits a heap block in place.
inline PyObject *storage_finish(void *block, size_t used) {
    PyObject *bytes = static_cast<PyObject *>(block);
    if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(used)) < 0) return nullptr;
    return bytes;
}

#ifdef PyFrozenDict_CheckExact
// Referenced weakly: a build for 3.15 that an older interpreter loads must
// reach pybind11's version check, not be refused by the dynamic loader.
extern "C" PyTypeObject PyFrozenDict_Type __attribute__((weak));
#endif

inline bool is_frozen_dict(PyObject *obj) {
#ifdef PyFrozenDict_CheckExact
    return PyFrozenDict_CheckExact(obj);
#else
    (void)obj;
    return false;
#endif
}

inline bool has_index(PyObject *obj) { return PyIndex_Check(obj) != 0; }

inline int own_truth(PyObject *obj) {
    PyNumberMethods *number = Py_TYPE(obj)->tp_as_number;
    return number != nullptr && number->nb_bool != nullptr ? number->nb_bool(obj) : -1;
}

constexpr uintptr_t kStackBudget = 0;
inline uintptr_t stack_budget() { return kStackBudget; }

// And offered to inspect.signature instead.
constexpr bool kStripsTextSignature = true;

// A long payload is copied by the codec's own copy where it is faster.
inline PyObject *new_bytes(const uint8_t *p, size_t n) {
    if (n < kLongPayload)
        return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(p), static_cast<Py_ssize_t>(n));
    PyObject *bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (bytes != nullptr) copy_long(reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(bytes)), p, n);
    return bytes;
}

// The str is made once, at its final kind, and filled in place.
inline PyObject *new_ascii_str(const uint8_t *p, size_t n) {
    PyObject *str = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (str == nullptr) return nullptr;
    auto *out = static_cast<uint8_t *>(PyUnicode_DATA(str));
    // Most texts are short: two overlapping words copy them with no call.
    // An empty string may come with no bytes behind it at all.
    if (n >= 8 && n <= 16) {
        std::memcpy(out, p, 8);
        std::memcpy(out + n - 8, p + n - 8, 8);
    } else if (n >= kLongPayload) {
        copy_long(out, p, n);
    } else if (n != 0) {
        std::memcpy(out, p, n);
    }
    return str;
}

// The characters of valid UTF-8 p[0, n), written at the str's own width:
// a width with no room for a longer sequence never meets one.  A long text
// copies its runs of ASCII whole.
template <bool Long, typename Char>
void fill_utf8(Char *out, const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n;) {
        const uint8_t c = p[i];
        if (c < 0x80) {
            const size_t end = Long && i + 1 < n && p[i + 1] < 0x80 ? decoding::skip_ascii(p, i + 1, n) : i + 1;
            if (sizeof(Char) == 1) {
                std::memcpy(out, p + i, end - i);
                out += end - i;
                i = end;
            } else {
                while (i < end) *out++ = p[i++];
            }
        } else if (sizeof(Char) == 1 || c < 0xE0) {
            *out++ = static_cast<Char>((c & 0x1F) << 6 | (p[i + 1] & 0x3F));
            i += 2;
        } else if (sizeof(Char) == 2 || c < 0xF0) {
            *out++ = static_cast<Char>((c & 0x0F) << 12 | (p[i + 1] & 0x3F) << 6 | (p[i + 2] & 0x3F));
            i += 3;
        } else {
            *out++ = static_cast<Char>((c & 0x07) << 18 | (p[i + 1] & 0x3F) << 12 | (p[i + 2] & 0x3F) << 6 |
                                       (p[i + 3] & 0x3F));
            i += 4;
        }
    }
}

template <bool Long>
void fill_utf8_at(Py_UCS4 maxchar, void *data, const uint8_t *p, size_t n) {
    if (maxchar == 0xFF)
        fill_utf8<Long>(static_cast<Py_UCS1 *>(data), p, n);
    else if (maxchar == 0xFFFF)
        fill_utf8<Long>(static_cast<Py_UCS2 *>(data), p, n);
    else
        fill_utf8<Long>(static_cast<Py_UCS4 *>(data), p, n);
}

// Text the decoder has checked, with its characters and greatest lead byte
// found on the way: the str is made once at its final kind and filled.  Out
// of line: three fill loops would crowd the decoding loop they sit in.
TAVREL_OUT_OF_LINE inline PyObject *new_utf8_str(const uint8_t *p, size_t n, size_t chars, uint8_t widest) {
    // Lead bytes C2-C3 stay below U+0100, up to EF below U+10000.
    const Py_UCS4 maxchar = widest >= 0xF0 ? 0x10FFFF : widest >= 0xC4 ? 0xFFFF : 0xFF;
    PyObject *str = PyUnicode_New(static_cast<Py_ssize_t>(chars), maxchar);
    if (str == nullptr) return nullptr;
    void *data = PyUnicode_DATA(str);
    if (n >= decoding::kLongText)
        fill_utf8_at<true>(maxchar, data, p, n);
    else
        fill_utf8_at<false>(maxchar, data, p, n);
    return str;
}

inline PyObject *list_of(PyObject *const *items, size_t n) {
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) {
        for (size_t i = 0; i < n; ++i) Py_DECREF(items[i]);
        return nullptr;
    }
    if (n != 0) std::memcpy(reinterpret_cast<PyListObject *>(list)->ob_item, items, n * sizeof(PyObject *));
    return list;
}

// Not _PyDict_NewPresized: before 3.12 it makes the general key table even
// when every key is a str, a bigger dict whose lookups miss the str path.
inline PyObject *new_dict(size_t) { return PyDict_New(); }

inline Py_ssize_t exact_dict_size(PyObject *dict) { return PyDict_GET_SIZE(dict); }

inline PyObject *int_from_be_bytes(const uint8_t *p, size_t n) { return _PyLong_FromByteArray(p, n, 0, 0); }

// Before 3.12 a collection starts inside whichever container allocation
// crosses the threshold, and each walks every young container made so far:
// a large decode paid for one every few hundred containers.  From 3.12 on
// collections wait for the eval loop, which a decode does not enter.
#if PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030C0000
class CollectorPause {
public:
    CollectorPause() = default;
    CollectorPause(const CollectorPause &) = delete;
    CollectorPause &operator=(const CollectorPause &) = delete;
    ~CollectorPause() { resume(); }

    void pause() {
        if (!paused_) {
            was_enabled_ = PyGC_Disable() != 0;
            paused_ = true;
        }
    }

    void resume() {
        if (paused_ && was_enabled_) PyGC_Enable();
        paused_ = false;
    }

private:
    bool paused_ = false;
    bool was_enabled_ = false;
};
#else
// Before 3.10 there is no C call to pause it; from 3.12 there is no need.
class CollectorPause {
public:
    void pause() {}
    void resume() {}
};
#endif

// A bytearray whose buffer is held cannot be resized (BufferError).
constexpr bool kExportPinsBuffer = true;

// Around the body of a container's dealloc, so that freeing a long chain of
// them (a million nested Tags) is not one native frame per link.
#if PY_VERSION_HEX >= 0x03080000
#define TAVREL_TRASHCAN_BEGIN(op, dealloc) Py_TRASHCAN_BEGIN(op, dealloc)
#define TAVREL_TRASHCAN_END(op) Py_TRASHCAN_END
#else
#define TAVREL_TRASHCAN_BEGIN(op, dealloc) Py_TRASHCAN_SAFE_BEGIN(op)
#define TAVREL_TRASHCAN_END(op) Py_TRASHCAN_SAFE_END(op)
#endif

// The last reference's Py_DECREF frees an object there and then.
constexpr bool kFreesOnLastRelease = true;

// From 3.8 on, the int conversions call __index__ themselves.
constexpr bool kIntConversionsSkipIndex = PY_VERSION_HEX < 0x03080000;

}  // namespace interpreter
}  // namespace tavrel

#endif  // TAVREL_INTERPRETER_CPYTHON_H
