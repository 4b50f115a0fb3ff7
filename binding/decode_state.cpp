// The Python types loads returns besides the built-in ones, and the state
// that holds them: Tag, Simple, the undefined singleton, CBORDecodeError.
#include "decode_state.h"

#include <pybind11/pybind11.h>

#include <memory>
#include <new>
#include <vector>

#include "errors.h"
#include "native_stack.h"

namespace tavrel {

namespace {

// ---- Tag(number, value) ----------------------------------------------------

struct TagObject {
    PyObject_HEAD PyObject *number;
    PyObject *value;
};

TagObject *as_tag(PyObject *self) { return reinterpret_cast<TagObject *>(self); }

PyObject *new_tag(PyTypeObject *type, PyObject *number, PyObject *value) {
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    Py_INCREF(number);
    Py_INCREF(value);
    as_tag(self)->number = number;
    as_tag(self)->value = value;
    return self;
}

PyObject *tag_tp_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"number", "value", nullptr};
    PyObject *number = nullptr, *value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Tag", const_cast<char **>(names), &number, &value))
        return nullptr;
    if (!PyLong_Check(number) || PyBool_Check(number)) {
        PyErr_SetString(PyExc_TypeError, "Tag number must be an int");
        return nullptr;
    }
    const unsigned long long checked = PyLong_AsUnsignedLongLong(number);
    if (checked == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_SetString(PyExc_ValueError, "Tag number must be in 0 ... 2**64-1");
        return nullptr;
    }
    PyObject *exact = PyLong_FromUnsignedLongLong(checked);
    if (exact == nullptr) return nullptr;
    PyObject *self = new_tag(type, exact, value);
    Py_DECREF(exact);
    return self;
}

int tag_traverse(PyObject *self, visitproc visit, void *arg) {
#if PY_VERSION_HEX >= 0x03090000
    Py_VISIT(Py_TYPE(self));
#endif
    Py_VISIT(as_tag(self)->number);
    Py_VISIT(as_tag(self)->value);
    return 0;
}

int tag_clear(PyObject *self) {
    Py_CLEAR(as_tag(self)->number);
    Py_CLEAR(as_tag(self)->value);
    return 0;
}

// A chain of Tags, each the only owner of the next (a million nested tags
// from loads), is taken apart here one link at a time; PyPy has no
// trashcan to defer deep frees.
void tag_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    TAVREL_TRASHCAN_BEGIN(self, tag_dealloc)
    PyTypeObject *type = Py_TYPE(self);
    PyObject *value = as_tag(self)->value;
    as_tag(self)->value = nullptr;
    while (value != nullptr && Py_TYPE(value) == type && Py_REFCNT(value) == 1) {
        PyObject *next = as_tag(value)->value;
        as_tag(value)->value = nullptr;
        Py_DECREF(value);
        value = next;
    }
    Py_XDECREF(value);
    tag_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
    TAVREL_TRASHCAN_END(self)
}

// Nested Tags are repr'd, compared and hashed one native frame or more per
// level; the interpreter's recursion limit is too coarse to keep a small
// thread stack from running out, so each level checks what is left.
bool stack_has_room() {
    try {
        NativeStack stack;
        stack.check_before_python();
        return true;
    } catch (pybind11::error_already_set &) {
        PyErr_SetString(PyExc_RecursionError, kTagRecursionText);
        return false;
    }
}

PyObject *tag_repr(PyObject *self) {
    if (!stack_has_room()) return nullptr;
    return PyUnicode_FromFormat("Tag(%R, %R)", as_tag(self)->number, as_tag(self)->value);
}

PyObject *tag_richcompare(PyObject *self, PyObject *other, int op) {
    if (Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    if (!stack_has_room()) return nullptr;
    int equal = PyObject_RichCompareBool(as_tag(self)->number, as_tag(other)->number, Py_EQ);
    if (equal == 1) equal = PyObject_RichCompareBool(as_tag(self)->value, as_tag(other)->value, Py_EQ);
    if (equal < 0) return nullptr;
    return PyBool_FromLong((equal == 1) == (op == Py_EQ));
}

// The hash of (number, value): unhashable when the value is.  Nested Tags
// hash one native frame per level, so the depth is the interpreter's to limit.
Py_hash_t tag_hash(PyObject *self) {
    if (!stack_has_room() || Py_EnterRecursiveCall(" while hashing a Tag") != 0) return -1;
    PyObject *pair = PyTuple_Pack(2, as_tag(self)->number, as_tag(self)->value);
    const Py_hash_t hash = pair != nullptr ? PyObject_Hash(pair) : -1;
    Py_XDECREF(pair);
    Py_LeaveRecursiveCall();
    return hash;
}

PyObject *tag_reduce(PyObject *self, PyObject *) {
    return Py_BuildValue("O(OO)", Py_TYPE(self), as_tag(self)->number, as_tag(self)->value);
}

PyObject *tag_get_number(PyObject *self, void *) {
    Py_INCREF(as_tag(self)->number);
    return as_tag(self)->number;
}

PyObject *tag_get_value(PyObject *self, void *) {
    Py_INCREF(as_tag(self)->value);
    return as_tag(self)->value;
}

PyGetSetDef tag_getset[] = {
    {"number", tag_get_number, nullptr, "The tag number, 0 ... 2**64-1.", nullptr},
    {"value", tag_get_value, nullptr, "The tagged value.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef tag_methods[] = {
    {"__reduce__", tag_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tag_slots[] = {
    {Py_tp_doc, const_cast<char *>("Tag(number, value)\n--\n\nA CBOR tag that loads has no meaning for: "
                                   "its number and its decoded value.  Immutable; hashable when the value is.")},
    {Py_tp_new, reinterpret_cast<void *>(tag_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(tag_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(tag_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(tag_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(tag_repr)},
    {Py_tp_richcompare, reinterpret_cast<void *>(tag_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(tag_hash)},
    {Py_tp_getset, tag_getset},
    {Py_tp_methods, tag_methods},
    {0, nullptr},
};

PyType_Spec tag_spec = {"tavrel_cbor.Tag", sizeof(TagObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, tag_slots};

// ---- Simple(value) ---------------------------------------------------------

struct SimpleObject {
    PyObject_HEAD uint8_t value;
};

uint8_t simple_value(PyObject *self) { return reinterpret_cast<SimpleObject *>(self)->value; }

PyObject *new_simple(PyTypeObject *type, uint8_t value) {
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) reinterpret_cast<SimpleObject *>(self)->value = value;
    return self;
}

PyObject *simple_tp_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"value", nullptr};
    PyObject *value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Simple", const_cast<char **>(names), &value)) return nullptr;
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "Simple value must be an int");
        return nullptr;
    }
    const long number = PyLong_AsLong(value);
    if ((number == -1 && PyErr_Occurred()) || number < 0 || number > 255) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "Simple value must be in 0 ... 255");
        return nullptr;
    }
    return new_simple(type, static_cast<uint8_t>(number));
}

void simple_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *simple_repr(PyObject *self) { return PyUnicode_FromFormat("Simple(%d)", simple_value(self)); }

PyObject *simple_richcompare(PyObject *self, PyObject *other, int op) {
    if (Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    return PyBool_FromLong((simple_value(self) == simple_value(other)) == (op == Py_EQ));
}

// Apart from the ints' hashes, which a Simple never equals.
Py_hash_t simple_hash(PyObject *self) { return 0x51D0000 + simple_value(self); }

PyObject *simple_reduce(PyObject *self, PyObject *) {
    return Py_BuildValue("O(i)", Py_TYPE(self), static_cast<int>(simple_value(self)));
}

PyObject *simple_get_value(PyObject *self, void *) { return PyLong_FromLong(simple_value(self)); }

PyGetSetDef simple_getset[] = {
    {"value", simple_get_value, nullptr, "The simple value, 0 ... 255.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef simple_methods[] = {
    {"__reduce__", simple_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot simple_slots[] = {
    {Py_tp_doc, const_cast<char *>("Simple(value)\n--\n\nA CBOR simple value that has no Python "
                                   "counterpart.  Immutable and hashable.")},
    {Py_tp_new, reinterpret_cast<void *>(simple_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(simple_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(simple_repr)},
    {Py_tp_richcompare, reinterpret_cast<void *>(simple_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(simple_hash)},
    {Py_tp_getset, simple_getset},
    {Py_tp_methods, simple_methods},
    {0, nullptr},
};

PyType_Spec simple_spec = {"tavrel_cbor.Simple", sizeof(SimpleObject), 0, Py_TPFLAGS_DEFAULT, simple_slots};

// ---- undefined -------------------------------------------------------------

void undefined_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *undefined_repr(PyObject *) { return PyUnicode_FromString("undefined"); }

int undefined_bool(PyObject *) { return 0; }

// Pickled by name, so it comes back as the same object.
PyObject *undefined_reduce(PyObject *, PyObject *) { return PyUnicode_FromString("undefined"); }

PyMethodDef undefined_methods[] = {
    {"__reduce__", undefined_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot undefined_slots[] = {
    {Py_tp_doc, const_cast<char *>("The type of tavrel_cbor.undefined, CBOR's undefined value.")},
    {Py_tp_new, reinterpret_cast<void *>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(undefined_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(undefined_repr)},
    {Py_nb_bool, reinterpret_cast<void *>(undefined_bool)},
    {Py_tp_methods, undefined_methods},
    {0, nullptr},
};

PyType_Spec undefined_spec = {"tavrel_cbor.UndefinedType", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, undefined_slots};

constexpr const char *kErrorDoc =
    "Raised by loads for input that is not exactly one well-formed CBOR data item, or that it refuses; "
    "the message ends with the byte offset of the item at fault.";

// Adds obj to the module under name, keeping the reference it is given.
bool add(PyObject *module, const char *name, PyObject *obj) {
    Py_INCREF(obj);
    if (PyModule_AddObject(module, name, obj) < 0) {
        Py_DECREF(obj);
        return false;
    }
    return true;
}

}  // namespace

DecodeState::~DecodeState() {
    Py_XDECREF(error);
    Py_XDECREF(reinterpret_cast<PyObject *>(tag_type));
    Py_XDECREF(reinterpret_cast<PyObject *>(simple_type));
    Py_XDECREF(undefined);
    Py_XDECREF(datetime);
    Py_XDECREF(timezone);
    Py_XDECREF(timedelta);
    Py_XDECREF(utc);
    for (PyObject *n : small_ints) Py_XDECREF(n);
}

bool DecodeState::need_datetime() {
    if (utc != nullptr) return true;
    PyObject *module = PyImport_ImportModule("datetime");
    if (module == nullptr) return false;
    datetime = PyObject_GetAttrString(module, "datetime");
    timezone = PyObject_GetAttrString(module, "timezone");
    timedelta = PyObject_GetAttrString(module, "timedelta");
    Py_DECREF(module);
    if (datetime != nullptr && timezone != nullptr && timedelta != nullptr)
        utc = PyObject_GetAttrString(timezone, "utc");
    if (utc != nullptr) return true;
    Py_CLEAR(datetime);
    Py_CLEAR(timezone);
    Py_CLEAR(timedelta);
    return false;
}

DecodeState *make_decode_state(PyObject *module) {
    auto state = std::make_unique<DecodeState>();
    state->error = PyErr_NewExceptionWithDoc("tavrel_cbor.CBORDecodeError", kErrorDoc, PyExc_ValueError, nullptr);
    state->tag_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&tag_spec));
    state->simple_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&simple_spec));
    PyObject *undefined_type = PyType_FromSpec(&undefined_spec);
    if (undefined_type != nullptr) {
        state->undefined = PyType_GenericAlloc(reinterpret_cast<PyTypeObject *>(undefined_type), 0);
        Py_DECREF(undefined_type);
    }
    bool made_ints = true;
    for (size_t n = 0; n < DecodeState::kSmallInts && made_ints; ++n)
        made_ints = (state->small_ints[n] = PyLong_FromSize_t(n)) != nullptr;
    if (!made_ints || state->error == nullptr || state->tag_type == nullptr || state->simple_type == nullptr ||
        state->undefined == nullptr || !add(module, "CBORDecodeError", state->error) ||
        !add(module, "Tag", reinterpret_cast<PyObject *>(state->tag_type)) ||
        !add(module, "Simple", reinterpret_cast<PyObject *>(state->simple_type)) ||
        !add(module, "undefined", state->undefined))
        return nullptr;
    return state.release();
}

PyObject *make_tag(const DecodeState &state, PyObject *number, PyObject *value) {
    return new_tag(state.tag_type, number, value);
}

PyObject *tag_value(PyObject *tag) { return as_tag(tag)->value; }

PyObject *make_simple(const DecodeState &state, uint8_t value) { return new_simple(state.simple_type, value); }

void release_value(const DecodeState &state, PyObject *value) {
    if (!interpreter::kFreesOnLastRelease) {
        Py_DECREF(value);
        return;
    }
    std::vector<PyObject *> pending;
    PyObject *object = value;
    try {
        for (;;) {
            if (Py_REFCNT(object) == 1) {
                // Its items change owner before it goes, so none is freed
                // inside its dealloc.  A list's slots are left null; a dict's
                // values get a reference of ours (its keys are scalars or
                // shallow tuples).
                if (PyList_CheckExact(object)) {
                    for (Py_ssize_t i = PyList_GET_SIZE(object); i-- > 0;) {
                        pending.push_back(PyList_GET_ITEM(object, i));
                        PyList_SET_ITEM(object, i, nullptr);
                    }
                } else if (PyDict_CheckExact(object)) {
                    Py_ssize_t position = 0;
                    PyObject *key;
                    PyObject *item;
                    while (PyDict_Next(object, &position, &key, &item)) {
                        pending.push_back(item);
                        Py_INCREF(item);
                    }
                } else if (Py_TYPE(object) == state.tag_type) {
                    pending.push_back(as_tag(object)->value);
                    as_tag(object)->value = nullptr;
                }
            }
            Py_XDECREF(object);
            if (pending.empty()) return;
            object = pending.back();
            pending.pop_back();
        }
    } catch (const std::bad_alloc &) {
        // No memory for our stack: the rest goes the ordinary way.
        Py_XDECREF(object);
        for (PyObject *left : pending) Py_XDECREF(left);
    }
}

}  // namespace tavrel
