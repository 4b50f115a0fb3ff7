// The tavrel_cbor module: its docstring, dumps and __version__; loads, load,
// dump and the types loads returns.
#include <pybind11/pybind11.h>

#include <cstring>

#include "call.h"
#include "interpreter.h"
#include "loads.h"
#include "module_state.h"

namespace py = pybind11;

namespace {

// The docstring pybind11 composes for a function with one signature, after
// a text signature that the interpreter takes off __doc__ and offers to
// inspect.signature instead; where it would not, the doc starts after it.
#define TAVREL_TEXT_SIGNATURE "dumps(value, indefinite=True, max_depth=0)\n--\n\n"

constexpr const char *kSignedDoc = TAVREL_TEXT_SIGNATURE
    "dumps(value: Union[bool, float, int, list, tuple, dict, bytes, str, bool, int, int, str, None], "
    "indefinite: bool = True, max_depth: int = 0) -> bytes\n"
    "\n"
    "\n    Dump a Python object to cbor\n    \n";
constexpr const char *kDumpsDoc =
    tavrel::interpreter::kStripsTextSignature ? kSignedDoc : kSignedDoc + sizeof TAVREL_TEXT_SIGNATURE - 1;

// The docs of the decoding side, each after its text signature, taken off
// where the interpreter does not strip it.
constexpr const char *kLoadsSigned =
    "loads(data, *, tag_hook=None, object_hook=None, max_depth=10000, unsafe_keys=False)\n--\n\n"
    "Decode exactly one CBOR data item from a bytes-like object.\n\n"
    "tag_hook(number, value) is called for every tag loads has no meaning for, and\n"
    "its result replaces the tag (default: Tag(number, value)); object_hook(dict)\n"
    "for every map, its result replacing the dict.  An item nested inside more than\n"
    "max_depth arrays, maps and tags is refused (0: no limit).  Map keys that are\n"
    "arrays or tags are refused unless unsafe_keys is true: such keys can be chosen\n"
    "to collide in Python's hash.  Raises CBORDecodeError for malformed or refused\n"
    "input.";
constexpr const char *kLoadSigned =
    "load(fp, **options)\n--\n\n"
    "loads(fp.read(), **options).";
constexpr const char *kDumpSigned =
    "dump(value, fp, indefinite=True, max_depth=0)\n--\n\n"
    "fp.write(dumps(value, indefinite, max_depth)).";

const char *doc_of(const char *signed_doc) {
    return tavrel::interpreter::kStripsTextSignature ? signed_doc : std::strstr(signed_doc, "--\n\n") + 4;
}

// The function object refers to its method record for as long as it lives,
// and a module initialised this way is never unloaded: the record is made
// once per import and kept, as pybind11 keeps its own.
using FastEntry = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

PyObject *make_function(PyObject *module, PyObject *self, const char *name, FastEntry entry, const char *doc) {
    auto *record = new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
                                   METH_FASTCALL | METH_KEYWORDS, doc};
    py::object module_name = py::reinterpret_borrow<py::object>(module).attr("__name__");
    PyObject *function = PyCFunction_NewEx(record, self, module_name.ptr());
    if (function == nullptr) {
        delete record;
        throw py::error_already_set();
    }
    return function;
}

}  // namespace

PYBIND11_MODULE(tavrel_cbor, m) {
    m.doc() = R"pbdoc(
        Tavrel cbor
        -----------------------

        .. currentmodule:: tavrel_cbor

        .. autosummary::
           :toctree: _generate

           dumps
    )pbdoc";

    // Every function reaches the module's state through its self.
    py::object state = py::reinterpret_steal<py::object>(tavrel::make_module_state(m.ptr()));
    if (!state) throw py::error_already_set();
    m.attr("dumps") = py::reinterpret_steal<py::object>(
        make_function(m.ptr(), state.ptr(), "dumps", &tavrel::dumps_entry, kDumpsDoc));
    m.attr("__version__") = TAVREL_CBOR_VERSION;
    m.attr("loads") = py::reinterpret_steal<py::object>(
        make_function(m.ptr(), state.ptr(), "loads", &tavrel::loads_entry, doc_of(kLoadsSigned)));
    m.attr("load") = py::reinterpret_steal<py::object>(
        make_function(m.ptr(), state.ptr(), "load", &tavrel::load_entry, doc_of(kLoadSigned)));
    m.attr("dump") = py::reinterpret_steal<py::object>(
        make_function(m.ptr(), state.ptr(), "dump", &tavrel::dump_entry, doc_of(kDumpSigned)));
}
