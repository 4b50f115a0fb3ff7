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
#include "native_stack.h"

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
    explicit Serializer(size_t max_depth) : generator_(cbor_generator_create()) {
        if (!generator_) throw std::bad_alloc();
        if constexpr (DepthLimited) counter_.max_depth = max_depth;
    }

    void visit(const DumpValue &value) {
        std::visit([this](const auto &alternative) { (*this)(alternative); }, value);
    }

    py::bytes result() const {
        PyObject *bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(generator_->buffer),
                                                    static_cast<Py_ssize_t>(generator_->length));
        if (bytes == nullptr) throw std::runtime_error("Could not allocate bytes object!");
        return py::reinterpret_steal<py::bytes>(bytes);
    }

    void operator()(const py::bool_ &value) { put(PyLong_AsLong(value.ptr()) != 0 ? cbor_write_true(gen()) : cbor_write_false(gen())); }

    void operator()(const py::float_ &value) {
        double x = PyFloat_AsDouble(value.ptr());
        if (x == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            if (!PyNumber_Check(value.ptr())) throw py::cast_error(kCastErrorText);
            auto as_float = py::reinterpret_steal<py::object>(PyNumber_Float(value.ptr()));
            PyErr_Clear();
            if (!as_float || !PyFloat_Check(as_float.ptr())) throw py::cast_error(kCastErrorText);
            x = PyFloat_AS_DOUBLE(as_float.ptr());
        }
        put(cbor_write_float(gen(), x));
    }

    void operator()(const py::int_ &value) { write_int(value.ptr()); }

    void operator()(const py::list &value) { write_sequence<ListItems>(value.ptr()); }
    void operator()(const py::tuple &value) { write_sequence<TupleItems>(value.ptr()); }
    void operator()(const py::dict &value) { write_dict(value.ptr()); }

    void operator()(const py::bytes &value) {
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(value.ptr(), &data, &size) != 0)
            throw std::runtime_error("Unable to extract bytes contents!");
        put(cbor_write_byte_string(gen(), data, static_cast<uint64_t>(size)));
    }

    void operator()(const py::str &value) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            throw py::cast_error(kCastErrorText);
        }
        put(cbor_write_text_string(gen(), utf8, static_cast<uint64_t>(size)));
    }

    void operator()(bool value) { put(value ? cbor_write_true(gen()) : cbor_write_false(gen())); }
    void operator()(uint64_t value) { put(cbor_write_uint(gen(), value)); }
    void operator()(int64_t value) { write_signed(value); }
    void operator()(std::string_view value) { put(cbor_write_text_string(gen(), value.data(), value.size())); }
    void operator()(const py::none &) { put(cbor_write_null(gen())); }

private:
    static constexpr size_t kTextLimit = 40;

    cbor_generator *gen() const { return generator_.get(); }

    // A writer fails only when the output cannot grow.
    static void put(int status) {
        if (status < 0) throw std::bad_alloc();
    }

    void write_signed(int64_t value) { put(value < 0 ? cbor_write_negint(gen(), value) : cbor_write_uint(gen(), static_cast<uint64_t>(value))); }

    void write_int(PyObject *obj) {
        if (PyLong_CheckExact(obj)) {
            // An exact int's equality cannot disagree with its value, so the
            // range checks need no temporary ints.
            int overflow = 0;
            const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
            if (overflow == 0 && !(value == -1 && PyErr_Occurred())) return write_signed(value);
            if (overflow > 0) {
                const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
                if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return put(cbor_write_uint(gen(), u));
            }
            PyErr_Clear();
            throw_integer_range_error(obj, kTextLimit);
        }
        // Subclasses may redefine equality: accept a conversion only when the
        // int made from it compares equal to the original.
        uint64_t u;
        if (load_uint64(obj, true, u) && equals(PyLong_FromUnsignedLongLong(u), obj)) return put(cbor_write_uint(gen(), u));
        int64_t s;
        if (load_int64(obj, true, s) && equals(PyLong_FromLongLong(s), obj)) return write_signed(s);
        throw_integer_range_error(obj, kTextLimit);
    }

    // Steals made; false (with no error pending) unless made == obj.
    static bool equals(PyObject *made, PyObject *obj) {
        if (made == nullptr) {
            PyErr_Clear();
            return false;
        }
        const int equal = PyObject_RichCompareBool(made, obj, Py_EQ);
        Py_DECREF(made);
        if (equal < 0) PyErr_Clear();
        return equal == 1;
    }

    // Raised by Python code run during a walk that changed a container under it.
    [[noreturn]] static void changed(const char *what) { throw std::runtime_error(std::string(what) + " changed size during iteration"); }

    void enter_level() {
        if constexpr (DepthLimited) {
            if (++counter_.depth > counter_.max_depth)
                throw std::runtime_error("Exceeded recursion limit:" + std::to_string(counter_.max_depth));
        }
    }
    void check_level() {
        if constexpr (DepthLimited) {
            if (counter_.depth > counter_.max_depth)
                throw std::runtime_error("Exceeded recursion limit:" + std::to_string(counter_.max_depth));
        }
    }
    void leave_level() {
        if constexpr (DepthLimited) --counter_.depth;
    }

    // One element: converted, held by a strong reference while it is
    // written, released before the next.
    void write_element(PyObject *item) { visit(element_value(item)); }

    struct ListItems {
        static constexpr const char *kName = "list";
        static constexpr bool kCanChange = true;
        static Py_ssize_t size(PyObject *seq) { return PyList_GET_SIZE(seq); }
        static py::object item(PyObject *seq, Py_ssize_t i) {
#ifdef PYPY_VERSION
            return fetch(seq, i);
#else
            return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(seq, i));
#endif
        }
    };
    struct TupleItems {
        static constexpr const char *kName = "tuple";
        static constexpr bool kCanChange = false;
        static Py_ssize_t size(PyObject *seq) { return PyTuple_GET_SIZE(seq); }
        static py::object item(PyObject *seq, Py_ssize_t i) {
#ifdef PYPY_VERSION
            return fetch(seq, i);
#else
            return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(seq, i));
#endif
        }
    };
#ifdef PYPY_VERSION
    static py::object fetch(PyObject *seq, Py_ssize_t i) {
        PyObject *item = PySequence_GetItem(seq, i);
        if (item == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(item);
    }
#endif

    template <typename Items>
    void write_sequence(PyObject *seq) {
        stack_.check();
        const Py_ssize_t count = Items::size(seq);
        put(cbor_write_array(gen(), Indefinite ? CBOR_INDEFINITE : static_cast<uint64_t>(count)));
        // The size is read again before every element: Python code run by a
        // conversion may have shrunk the list, and its storage with it.
        for (Py_ssize_t i = 0;; ++i) {
            const Py_ssize_t now = Items::size(seq);
            if constexpr (!Indefinite && Items::kCanChange) {
                if (now != count) changed(Items::kName);
            }
            if (i >= now) break;
            enter_level();
            write_element(Items::item(seq, i).ptr());
            leave_level();
        }
        if constexpr (Indefinite) put(cbor_write_break(gen()));
    }

    void write_dict(PyObject *dict) {
        stack_.check();
        const Py_ssize_t count = PyDict_Size(dict);
        put(cbor_write_map(gen(), Indefinite ? CBOR_INDEFINITE : static_cast<uint64_t>(count)));
        Py_ssize_t position = 0, written = 0;
        PyObject *key = nullptr, *value = nullptr;
        for (;;) {
            if (PyDict_Size(dict) != count) changed("dictionary");
            if (!PyDict_Next(dict, &position, &key, &value)) break;
            // Both are held before either is converted: converting the key
            // may run code that deletes the entry.
            py::object held_key = py::reinterpret_borrow<py::object>(key);
            py::object held_value = py::reinterpret_borrow<py::object>(value);
            if (++written > count) changed("dictionary");
            enter_level();
            write_element(held_key.ptr());
            check_level();
            write_element(held_value.ptr());
            leave_level();
        }
        if (written != count) changed("dictionary");
        if constexpr (Indefinite) put(cbor_write_break(gen()));
    }

    std::unique_ptr<cbor_generator, GeneratorDeleter> generator_;
    DepthCounter<DepthLimited> counter_;
    NativeStack stack_;
};

py::bytes dumps(const DumpValue &value, bool indefinite, size_t max_depth);

}  // namespace tavrel

#endif  // TAVREL_SERIALIZER_H
