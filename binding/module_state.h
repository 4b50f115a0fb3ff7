// What the module's functions keep between calls: dumps' keyword names and
// loads' state, owned by one object that is the self of all of them.
#ifndef TAVREL_MODULE_STATE_H
#define TAVREL_MODULE_STATE_H

#include <Python.h>

#include "decode_state.h"
#include "output_size.h"

namespace tavrel {

// Its layout is ours, so on every call the state is one load away from the
// function's self; a capsule's pointer would cost a call and a name check.
struct ModuleState {
    PyObject_HEAD
        // "indefinite" and "max_depth", interned: the interpreter interns the
        // names written in a call, so they are usually these very objects.
        PyObject *indefinite_name;
    PyObject *max_depth_name;
    DecodeState *decode;
    // The output size of the last long list, tuple or dict at the top of a
    // dumps call: the next one reserves it at once (output_size.h).
    SizeHint sequence_size_hint;
};

// The state of the module: adds what loads returns to it (make_decode_state)
// and returns the owner, a new reference; null with an error pending.
PyObject *make_module_state(PyObject *module);

inline ModuleState &module_state(PyObject *self) { return *reinterpret_cast<ModuleState *>(self); }
inline DecodeState &decode_state(PyObject *self) { return *reinterpret_cast<ModuleState *>(self)->decode; }

}  // namespace tavrel

#endif  // TAVREL_MODULE_STATE_H
