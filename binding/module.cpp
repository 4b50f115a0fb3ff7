// The tavrel_cbor module: its docstring, dumps and __version__.
#include <pybind11/pybind11.h>

#include "call.h"
#include "interpreter.h"

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

// The function object refers to its method record for as long as it lives,
// and a module initialised this way is never unloaded: the record is made
// once per import and kept, as pybind11 keeps its own.
PyObject *make_dumps(PyObject *module) {
    auto *record =
        new PyMethodDef{"dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&tavrel::dumps_entry)),
                        METH_FASTCALL | METH_KEYWORDS, kDumpsDoc};
    py::object name = py::reinterpret_borrow<py::object>(module).attr("__name__");
    PyObject *function = PyCFunction_NewEx(record, module, name.ptr());
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

    m.attr("dumps") = py::reinterpret_steal<py::object>(make_dumps(m.ptr()));
    m.attr("__version__") = TAVREL_CBOR_VERSION;
}
