// The object that owns the module's state.
#include "module_state.h"

#include <new>

#include "errors.h"

namespace tavrel {

namespace {

void state_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    auto *state = reinterpret_cast<ModuleState *>(self);
    Py_XDECREF(state->indefinite_name);
    Py_XDECREF(state->max_depth_name);
    delete state->decode;
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot state_slots[] = {
    {Py_tp_doc, const_cast<char *>("What dumps and loads keep between calls: dumps' keyword names, the types "
                                   "loads returns and its cache of map keys.")},
    {Py_tp_new, reinterpret_cast<void *>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(state_dealloc)},
    {0, nullptr},
};

PyType_Spec state_spec = {"tavrel_cbor.ModuleState", sizeof(ModuleState), 0, Py_TPFLAGS_DEFAULT, state_slots};

}  // namespace

PyObject *make_module_state(PyObject *module) {
    PyObject *type = PyType_FromSpec(&state_spec);
    if (type == nullptr) return nullptr;
    // Zeroed: a half-made state is released like a whole one.
    PyObject *owner = PyType_GenericAlloc(reinterpret_cast<PyTypeObject *>(type), 0);
    Py_DECREF(type);
    if (owner == nullptr) return nullptr;
    auto *state = reinterpret_cast<ModuleState *>(owner);
    new (&state->sequence_size_hint) SizeHint(0);
    state->indefinite_name = PyUnicode_InternFromString("indefinite");
    state->max_depth_name = PyUnicode_InternFromString("max_depth");
    state->decode = make_decode_state(module);
    if (state->indefinite_name == nullptr || state->max_depth_name == nullptr || state->decode == nullptr) {
        Py_DECREF(owner);
        return nullptr;
    }
    return owner;
}

}  // namespace tavrel
