// The tavrel_cbor module: its docstring, dumps and __version__.
#include <pybind11/pybind11.h>

#include "serializer.h"

namespace py = pybind11;

PYBIND11_MODULE(tavrel_cbor, m) {
    m.doc() = R"pbdoc(
        Tavrel cbor
        -----------------------

        .. currentmodule:: tavrel_cbor

        .. autosummary::
           :toctree: _generate

           dumps
    )pbdoc";

    m.def("dumps", &tavrel::dumps, R"pbdoc(
    Dump a Python object to cbor
    )pbdoc",
          py::arg("value"), py::arg("indefinite") = true, py::arg("max_depth") = 0);

    m.attr("__version__") = "6.7.8";
}
