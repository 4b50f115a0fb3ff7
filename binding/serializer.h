// Serializer: walks a DumpValue and drives the encoder.  Framing and the
// depth limit are template parameters, fixed once per dumps call.
#ifndef TAVREL_SERIALIZER_H
#define TAVREL_SERIALIZER_H

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "cbor.h"
#include "dump_value.h"
#include "encode_p.h"
#include "native_stack.h"
#include "pypy_stored.h"
#include "staging_sink.h"

namespace tavrel {

struct GeneratorDeleter {
    void operator()(cbor_generator *generator) const { cbor_generator_free(generator); }
};

// str(obj) as UTF-8, cut to at most limit bytes on a character boundary;
// a failing str() is described instead of raised.
std::string truncated_str(PyObject *obj, size_t limit);

[[noreturn]] void throw_integer_range_error(PyObject *obj, size_t text_limit);

template <bool Limited>
struct DepthCounter {
    size_t depth = 0;
    size_t max_depth = 0;
};
template <>
struct DepthCounter<false> {};

template <bool Indefinite, bool DepthLimited>
class Serializer {
public:
    explicit Serializer(size_t max_depth) : generator(cbor_generator_create()), sink_(checked(generator.get())) {
        if constexpr (DepthLimited) counter_.max_depth = max_depth;
    }

    void visit(const DumpValue &value) {
        std::visit([this](const auto &alternative) { (*this)(alternative); }, value);
    }

    // The whole output, copied once into a new bytes object.
    py::bytes result() {
        put(sink_.flush());
        PyObject *bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(generator->buffer),
                                                    static_cast<Py_ssize_t>(generator->length));
        if (bytes == nullptr) throw std::runtime_error("Could not allocate bytes object!");
        return py::reinterpret_steal<py::bytes>(bytes);
    }

    void operator()(const py::bool_ &value) { write_bool(PyLong_AsLong(value.ptr()) != 0); }
    void operator()(const py::float_ &value) { write_float(value.ptr()); }
    void operator()(const py::int_ &value) { write_int(value.ptr()); }
    void operator()(const py::list &value) { write_sequence<ListItems>(value.ptr()); }
    void operator()(const py::tuple &value) { write_sequence<TupleItems>(value.ptr()); }
    void operator()(const py::dict &value) { write_dict(value.ptr()); }
    void operator()(const py::bytes &value) { write_bytes(value.ptr()); }
    void operator()(const py::str &value) { write_str(value.ptr()); }
    void operator()(bool value) { write_bool(value); }
    void operator()(uint64_t value) { put(write_head(sink_, kMajorUint, value)); }
    void operator()(int64_t value) { write_signed(value); }
    void operator()(std::string_view value) {
        put(write_string(sink_, kMajorText, value.data(), value.size()));
    }
    void operator()(const py::none &) { put(sink_.put(0xF6)); }

private:
    // The most bytes of a value's text quoted in the integer range error.
    static constexpr size_t text_limit = 40;

    static cbor_generator *checked(cbor_generator *made) {
        if (made == nullptr) throw std::bad_alloc();
        return made;
    }

    // The encoder fails only when the output cannot grow.
    static void put(int status) {
        if (status < 0) throw std::bad_alloc();
    }

    // Exact built-in types take the alternative matching would give them,
    // without building a DumpValue: no Python code can run for them.  Every
    // other object goes through the full matching.
    void write_element(PyObject *item) {
        if (!write_plain_scalar(item)) write_compound(item);
    }

    // Containers of exact types, and everything that needs matching.
    void write_compound(PyObject *item) {
        PyTypeObject *type = Py_TYPE(item);
        if (type == &PyDict_Type) return write_dict(item);
        if (type == &PyList_Type) return write_sequence<ListItems>(item);
        if (type == &PyTuple_Type) return write_sequence<TupleItems>(item);
        visit(element_value(item));
    }

    // Scalars of exact built-in types, written in place.  Writing them runs
    // no Python code, so a borrowed reference to them stays valid meanwhile.
    bool write_plain_scalar(PyObject *item) {
        PyTypeObject *type = Py_TYPE(item);
        if (type == &PyUnicode_Type)
            write_str(item);
        else if (type == &PyLong_Type)
            write_int(item);
        else if (type == &PyFloat_Type)
            put(write_float_shortest(sink_, PyFloat_AS_DOUBLE(item)));
        else if (item == Py_None)
            put(sink_.put(0xF6));
        else if (type == &PyBool_Type)
            write_bool(item == Py_True);
        else if (type == &PyBytes_Type)
            write_bytes(item);
        else
            return false;
        return true;
    }

    // Anything but a plain scalar is held by a strong reference while it is
    // written: the Python code its conversion or its elements run may drop it.
    void write_held(PyObject *item) {
        py::object held = py::reinterpret_borrow<py::object>(item);
        write_compound(held.ptr());
    }

    void write_bool(bool value) { put(sink_.put(value ? 0xF5 : 0xF4)); }

    void write_signed(int64_t value) {
        put(value < 0 ? write_negint(sink_, value) : write_head(sink_, kMajorUint, static_cast<uint64_t>(value)));
    }

    void write_float(PyObject *obj) {
#ifdef PYPY_VERSION
        // PyPy's PyFloat_AsDouble asks a subclass's own __float__; the stored
        // value is what CPython reads, and what is written everywhere.
        if (PyFloat_Check(obj)) return put(write_float_shortest(sink_, PyFloat_AS_DOUBLE(obj)));
#endif
        double x = PyFloat_AsDouble(obj);
        if (x == -1.0 && PyErr_Occurred()) {
            drop_error();
            if (!PyNumber_Check(obj)) throw py::cast_error(kCastErrorText);
            auto as_float = py::reinterpret_steal<py::object>(PyNumber_Float(obj));
            drop_error();
            if (!as_float || !PyFloat_Check(as_float.ptr())) throw py::cast_error(kCastErrorText);
            x = PyFloat_AS_DOUBLE(as_float.ptr());
        }
        put(write_float_shortest(sink_, x));
    }

    void write_bytes(PyObject *obj) {
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) throw std::runtime_error("Unable to extract bytes contents!");
        put(write_string(sink_, kMajorBytes, data, static_cast<uint64_t>(size)));
    }

    // Straight from the interpreter's cached UTF-8 form; no copy.  A compact
    // ASCII str is its own UTF-8.
    void write_str(PyObject *obj) {
#ifndef PYPY_VERSION
        if (PyUnicode_IS_COMPACT_ASCII(obj)) {
            put(write_string(sink_, kMajorText, PyUnicode_DATA(obj), static_cast<uint64_t>(PyUnicode_GET_LENGTH(obj))));
            return;
        }
#endif
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            throw py::cast_error(kCastErrorText);
        }
        put(write_string(sink_, kMajorText, utf8, static_cast<uint64_t>(size)));
    }

    void write_int(PyObject *obj) {
        if (PyLong_CheckExact(obj)) {
            // An exact int's equality cannot disagree with its value, so the
            // range checks need no temporary ints.
            int overflow = 0;
            const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
            if (overflow == 0 && !(value == -1 && PyErr_Occurred())) return write_signed(value);
            if (overflow > 0) {
                const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
                if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred()))
                    return put(write_head(sink_, kMajorUint, u));
            }
            PyErr_Clear();
            throw_integer_range_error(obj, text_limit);
        }
        // Subclasses may redefine equality: accept a conversion only when the
        // int made from it compares equal to the original.
        uint64_t u;
        if (load_uint64(obj, true, u) && equals(PyLong_FromUnsignedLongLong(u), obj))
            return put(write_head(sink_, kMajorUint, u));
        int64_t s;
        if (load_int64(obj, true, s) && equals(PyLong_FromLongLong(s), obj)) return write_signed(s);
        throw_integer_range_error(obj, text_limit);
    }

    // Steals made; false (with no error pending) unless made == obj.
    static bool equals(PyObject *made, PyObject *obj) {
        if (made == nullptr) {
            drop_error();
            return false;
        }
        const int equal = PyObject_RichCompareBool(made, obj, Py_EQ);
        Py_DECREF(made);
        if (equal < 0) drop_error();
        return equal == 1;
    }

    // Python code run during a walk changed a container under it; the texts
    // are the interpreter's own for the same mistake.
    [[noreturn]] static void changed(const char *what) {
        throw std::runtime_error(std::string(what) + " changed size during iteration");
    }
    [[noreturn]] static void keys_changed() { throw std::runtime_error("dictionary keys changed during iteration"); }

    [[noreturn]] void too_deep() const {
        throw std::runtime_error("Exceeded recursion limit:" + std::to_string(counter_.max_depth));
    }

    // One level down for an element, or a key and its value, tested before
    // anything is converted; the level is left when the guard goes.
    class Level {
    public:
        explicit Level(Serializer &serializer) : serializer_(serializer) {
            if constexpr (DepthLimited) {
                if (++serializer_.counter_.depth > serializer_.counter_.max_depth) serializer_.too_deep();
            }
        }
        ~Level() {
            if constexpr (DepthLimited) --serializer_.counter_.depth;
        }
        Level(const Level &) = delete;
        Level &operator=(const Level &) = delete;

        // The value of a pair sits at its key's level and is tested again.
        void check() const {
            if constexpr (DepthLimited) {
                if (serializer_.counter_.depth > serializer_.counter_.max_depth) serializer_.too_deep();
            }
        }

    private:
        Serializer &serializer_;
    };

    struct ListItems {
        static constexpr const char *kName = "list";
        static constexpr bool kCanChange = true;
#ifdef PYPY_VERSION
        static PyTypeObject *base() { return &PyList_Type; }
        static Py_ssize_t size(PyObject *seq) {
            return PyList_CheckExact(seq) ? PyList_GET_SIZE(seq) : pypy::stored_size(base(), seq);
        }
#else
        static Py_ssize_t size(PyObject *seq) { return PyList_GET_SIZE(seq); }
        static PyObject *borrowed(PyObject *seq, Py_ssize_t i) { return PyList_GET_ITEM(seq, i); }
#endif
    };
    struct TupleItems {
        static constexpr const char *kName = "tuple";
        static constexpr bool kCanChange = false;
#ifdef PYPY_VERSION
        static PyTypeObject *base() { return &PyTuple_Type; }
        static Py_ssize_t size(PyObject *seq) {
            return PyTuple_CheckExact(seq) ? PyTuple_GET_SIZE(seq) : pypy::stored_size(base(), seq);
        }
#else
        static Py_ssize_t size(PyObject *seq) { return PyTuple_GET_SIZE(seq); }
        static PyObject *borrowed(PyObject *seq, Py_ssize_t i) { return PyTuple_GET_ITEM(seq, i); }
#endif
    };

    template <typename Items>
    void write_item(PyObject *seq, Py_ssize_t i) {
#ifdef PYPY_VERSION
        // PyPy hands out items one at a time, as new references.
        py::object held = pypy::stored_item(Items::base(), seq, i);
        write_element(held.ptr());
#else
        PyObject *item = Items::borrowed(seq, i);
        if (!write_plain_scalar(item)) write_held(item);
#endif
    }

    template <typename Items>
    void write_sequence(PyObject *seq) {
        stack_.check();
        const Py_ssize_t count = Items::size(seq);
        put(write_container(sink_, kMajorArray, Indefinite ? CBOR_INDEFINITE : static_cast<uint64_t>(count)));
        // The size is read again before every element: Python code run by a
        // conversion may have shrunk the list, and its storage with it.
        for (Py_ssize_t i = 0;; ++i) {
            const Py_ssize_t now = Items::size(seq);
            if constexpr (!Indefinite && Items::kCanChange) {
                if (now != count) changed(Items::kName);
            }
            if (i >= now) break;
            Level level(*this);
            write_item<Items>(seq, i);
        }
        if constexpr (Indefinite) put(sink_.put(0xFF));
    }

#ifdef PYPY_VERSION
    // Dicts under PyPy: the stored entries through dict.items, whose
    // iteration refuses a dict that changes size.  PyPy's PyDict_Next
    // reads a subclass through its own methods and cannot survive a change.
    void write_dict_pypy(PyObject *dict) {
        const Py_ssize_t count = pypy::stored_size(&PyDict_Type, dict);
        put(write_container(sink_, kMajorMap, Indefinite ? CBOR_INDEFINITE : static_cast<uint64_t>(count)));
        py::object items = pypy::call_base(&PyDict_Type, "items", dict);
        auto iterator = py::reinterpret_steal<py::object>(PyObject_GetIter(items.ptr()));
        if (!iterator) throw pypy::PendingError{};
        Py_ssize_t written = 0;
        while (PyObject *pair = PyIter_Next(iterator.ptr())) {
            py::object held = py::reinterpret_steal<py::object>(pair);
            if (++written > count) keys_changed();
            Level level(*this);
            write_element(PyTuple_GET_ITEM(pair, 0));
            level.check();
            write_element(PyTuple_GET_ITEM(pair, 1));
        }
        if (PyErr_Occurred()) throw pypy::PendingError{};
        if (written != count) keys_changed();
        if constexpr (Indefinite) put(sink_.put(0xFF));
    }
#endif

    void write_dict(PyObject *dict) {
        stack_.check();
#ifdef PYPY_VERSION
        return write_dict_pypy(dict);
#else
        const Py_ssize_t count = PyDict_Size(dict);
        put(write_container(sink_, kMajorMap, Indefinite ? CBOR_INDEFINITE : static_cast<uint64_t>(count)));
        Py_ssize_t position = 0, written = 0;
        PyObject *key = nullptr, *value = nullptr;
        for (;;) {
            if (PyDict_Size(dict) != count) changed("dictionary");
            if (!PyDict_Next(dict, &position, &key, &value)) break;
            if (++written > count) keys_changed();
            Level level(*this);
            if (write_plain_scalar(key)) {
                level.check();
                if (!write_plain_scalar(value)) write_held(value);
                continue;
            }
            // Both are held before either is converted: converting the key
            // may run code that deletes the entry.
            py::object held_key = py::reinterpret_borrow<py::object>(key);
            py::object held_value = py::reinterpret_borrow<py::object>(value);
            write_compound(held_key.ptr());
            level.check();
            write_element(held_value.ptr());
        }
        if (written != count) keys_changed();
        if constexpr (Indefinite) put(sink_.put(0xFF));
#endif
    }

    std::unique_ptr<cbor_generator, GeneratorDeleter> generator;
    DepthCounter<DepthLimited> counter_;
    StagingSink sink_;
    NativeStack stack_;
};

py::bytes dumps(const DumpValue &value, bool indefinite, size_t max_depth);

}  // namespace tavrel

#endif  // TAVREL_SERIALIZER_H
