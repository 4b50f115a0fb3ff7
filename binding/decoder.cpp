// The builder's rarer steps: maps and their keys, tags, simple values, dates.
#include "decoder.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "errors.h"

namespace tavrel {

namespace {

// An RFC 3339 date-time: YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM).
struct DateTime {
    int year, month, day, hour, minute, second, microsecond;
    int offset_minutes;  // east of UTC
    bool utc;            // Z, or an offset of zero
};

bool digits(const char *s, int count, int &out) {
    out = 0;
    for (int i = 0; i < count; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

bool parse_rfc3339(const char *s, size_t n, DateTime &t) {
    if (n < 20 || s[4] != '-' || s[7] != '-' || (s[10] != 'T' && s[10] != 't') || s[13] != ':' || s[16] != ':')
        return false;
    if (!digits(s, 4, t.year) || !digits(s + 5, 2, t.month) || !digits(s + 8, 2, t.day) || !digits(s + 11, 2, t.hour) ||
        !digits(s + 14, 2, t.minute) || !digits(s + 17, 2, t.second))
        return false;
    size_t i = 19;
    t.microsecond = 0;
    if (s[i] == '.') {
        ++i;
        const size_t first = i;
        int scale = 100000;
        // Digits past microseconds are dropped: datetime holds no more.
        for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i, scale /= 10) t.microsecond += (s[i] - '0') * scale;
        if (i == first) return false;
    }
    if (i == n) return false;
    if ((s[i] == 'Z' || s[i] == 'z') && i + 1 == n) {
        t.utc = true;
        t.offset_minutes = 0;
        return true;
    }
    int hours, minutes;
    if ((s[i] != '+' && s[i] != '-') || n - i != 6 || s[i + 3] != ':' || !digits(s + i + 1, 2, hours) ||
        !digits(s + i + 4, 2, minutes) || hours > 23 || minutes > 59)
        return false;
    t.offset_minutes = (s[i] == '-' ? -1 : 1) * (hours * 60 + minutes);
    t.utc = t.offset_minutes == 0;
    return true;
}

// Whether the pending error is one a date's bad content raises.
bool is_range_error() {
    return PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_OverflowError) ||
           PyErr_ExceptionMatches(PyExc_OSError);
}

// The kind of item a refused key is, by its major type.
const char *kind_of(uint8_t major) { return major == 4 ? "array" : "tag"; }

// A list key, and the lists inside it, as tuples; without recursion, since
// the nesting is the input's.  A new reference, or null.
PyObject *freeze(PyObject *root) {
    struct Open {
        PyObject *list;
        PyObject *tuple;
        Py_ssize_t next;
    };
    std::vector<Open> open;
    auto begin = [&open](PyObject *list) -> bool {
        PyObject *tuple = PyTuple_New(PyList_GET_SIZE(list));
        if (tuple == nullptr) return false;
        open.push_back(Open{list, tuple, 0});
        return true;
    };
    auto abandon = [&open]() {
        for (Open &o : open) Py_DECREF(o.tuple);
        return nullptr;
    };
    if (!begin(root)) return nullptr;
    for (;;) {
        Open &top = open.back();
        if (top.next == PyList_GET_SIZE(top.list)) {
            PyObject *done = top.tuple;
            open.pop_back();
            if (open.empty()) return done;
            Open &parent = open.back();
            PyTuple_SET_ITEM(parent.tuple, parent.next++, done);
            continue;
        }
        PyObject *item = PyList_GET_ITEM(top.list, top.next);
        if (PyList_CheckExact(item)) {
            if (!begin(item)) return abandon();
            continue;
        }
        Py_INCREF(item);
        PyTuple_SET_ITEM(top.tuple, top.next++, item);
    }
}

// Whether a key nests arrays (lists or tuples) and Tags more than `limit`
// levels deep; walked without recursion.  Python hashes such a key one
// native frame per level, with no guard for tuples.
bool nests_deeper(PyObject *key, PyTypeObject *tag_type, size_t limit) {
    struct Level {
        PyObject *container;
        Py_ssize_t next;
    };
    std::vector<Level> open;
    auto enter = [&](PyObject *item) {
        if (PyList_CheckExact(item) || PyTuple_CheckExact(item) || Py_TYPE(item) == tag_type) {
            open.push_back(Level{item, 0});
            return open.size() > limit;
        }
        return false;
    };
    if (enter(key)) return true;
    while (!open.empty()) {
        Level &top = open.back();
        PyObject *c = top.container;
        PyObject *item = nullptr;
        if (Py_TYPE(c) == tag_type) {
            if (top.next++ == 0) item = tag_value(c);
        } else {
            const Py_ssize_t size = PyList_CheckExact(c) ? PyList_GET_SIZE(c) : PyTuple_GET_SIZE(c);
            if (top.next < size)
                item = PyList_CheckExact(c) ? PyList_GET_ITEM(c, top.next) : PyTuple_GET_ITEM(c, top.next);
            ++top.next;
        }
        if (item == nullptr) {
            open.pop_back();
        } else if (enter(item)) {
            return true;
        }
    }
    return false;
}

}  // namespace

PyObject *Builder::invert(PyObject *n) {
    if (n == nullptr) return nullptr;
    PyObject *inverted = PyNumber_Invert(n);
    Py_DECREF(n);
    return inverted;
}

bool Builder::replace_top(PyObject *value) {
    if (value == nullptr) return false;
    PyObject *old = values_.back();
    values_.back() = value;
    Py_DECREF(old);
    return true;
}

bool Builder::refuse(const char *what, size_t offset) {
    set_decode_error(state_.error, what, offset);
    return false;
}

bool Builder::other_simple(uint8_t value) {
    if (value != 23) return push(make_simple(state_, value));
    Py_INCREF(state_.undefined);
    return push(state_.undefined);
}

bool Builder::key(uint8_t initial, size_t offset) {
    const uint8_t major = initial >> 5;
    if (major == 5) return refuse(kMapKeyText, offset);
    if (!options_.unsafe_keys) {
        const std::string what = std::string(kRefusedKeyText) + kind_of(major) + kRefusedKeyTail;
        return refuse(what.c_str(), offset);
    }
    if (nests_deeper(values_.back(), state_.tag_type, kMaxKeyNesting)) {
        const std::string what = kKeyNestingText + std::to_string(kMaxKeyNesting) + kKeyNestingTail;
        return refuse(what.c_str(), offset);
    }
    return major != 4 || !PyList_CheckExact(values_.back()) || replace_top(freeze(values_.back()));
}

size_t Builder::key_at(const uint8_t *data, size_t offset, size_t index) {
    try {
        return decoding::key_offset(data, offset, index);
    } catch (const std::bad_alloc &) {
        // No memory to look: the map itself is named.
        return offset;
    }
}

bool Builder::map(size_t pairs, const uint8_t *data, size_t offset) {
    PyObject **items = values_.data() + values_.size() - 2 * pairs;
    PyObject *dict = interpreter::new_dict(pairs);
    if (dict == nullptr) return false;
    for (size_t i = 0; i < pairs; ++i) {
        if (PyDict_SetItem(dict, items[2 * i], items[2 * i + 1]) < 0) {
            // Only keys let in by unsafe_keys can fail to hash.
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                set_decode_error(state_.error, kUnhashableKeyText, key_at(data, offset, i));
            }
            Py_DECREF(dict);
            return false;
        }
        // Keys equal in Python (1 and 1.0, say) would silently drop a value.
        if (interpreter::exact_dict_size(dict) != static_cast<Py_ssize_t>(i + 1)) {
            Py_DECREF(dict);
            return refuse(kDuplicateKeyText, key_at(data, offset, i));
        }
    }
    for (size_t i = 0; i < 2 * pairs; ++i) Py_DECREF(items[i]);
    values_.resize(values_.size() - 2 * pairs);
    if (options_.object_hook != nullptr) {
        PyObject *hooked = PyObject_CallFunctionObjArgs(options_.object_hook, dict, nullptr);
        Py_DECREF(dict);
        dict = hooked;
    }
    return push(dict);
}

bool Builder::tag(uint64_t number, size_t offset) {
    PyObject *value = values_.back();
    switch (number) {
        case 55799:  // self-described CBOR: the content itself
            return true;
        case 2:
        case 3: {
            if (!PyBytes_CheckExact(value)) return refuse(kBignumText, offset);
            PyObject *n = interpreter::int_from_be_bytes(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(value)),
                                                         static_cast<size_t>(PyBytes_GET_SIZE(value)));
            return replace_top(number == 2 ? n : invert(n));
        }
        case 0: return date_text(offset);
        case 1: return epoch(offset);
        default: break;
    }
    PyObject *number_object = PyLong_FromUnsignedLongLong(number);
    if (number_object == nullptr) return false;
    PyObject *result = options_.tag_hook != nullptr
                           ? PyObject_CallFunctionObjArgs(options_.tag_hook, number_object, value, nullptr)
                           : make_tag(state_, number_object, value);
    Py_DECREF(number_object);
    return replace_top(result);
}

bool Builder::date_text(size_t offset) {
    // datetime may be imported, or be the pure-Python one.
    collector_.resume();
    PyObject *value = values_.back();
    DateTime t;
    Py_ssize_t size = 0;
    const char *text = PyUnicode_CheckExact(value) ? interpreter::str_utf8(value, &size) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return refuse(kDateTextText, offset);
    }
    if (!parse_rfc3339(text, static_cast<size_t>(size), t)) return refuse(kDateTextText, offset);
    if (!state_.need_datetime()) return false;
    PyObject *zone;
    if (t.utc) {
        Py_INCREF(state_.utc);
        zone = state_.utc;
    } else {
        PyObject *delta = PyObject_CallFunction(state_.timedelta, "iii", 0, t.offset_minutes * 60, 0);
        if (delta == nullptr) return false;
        zone = PyObject_CallFunctionObjArgs(state_.timezone, delta, nullptr);
        Py_DECREF(delta);
        if (zone == nullptr) return false;
    }
    PyObject *result = PyObject_CallFunction(state_.datetime, "iiiiiiiO", t.year, t.month, t.day, t.hour, t.minute,
                                             t.second, t.microsecond, zone);
    Py_DECREF(zone);
    if (result == nullptr && is_range_error()) {
        PyErr_Clear();
        return refuse(kDateTextText, offset);
    }
    return replace_top(result);
}

bool Builder::epoch(size_t offset) {
    collector_.resume();
    PyObject *value = values_.back();
    if (!PyLong_CheckExact(value) && !PyFloat_CheckExact(value)) return refuse(kEpochTypeText, offset);
    if (!state_.need_datetime()) return false;
    PyObject *result = PyObject_CallMethod(state_.datetime, "fromtimestamp", "OO", value, state_.utc);
    if (result == nullptr && is_range_error()) {
        PyErr_Clear();
        return refuse(kEpochRangeText, offset);
    }
    return replace_top(result);
}

}  // namespace tavrel
