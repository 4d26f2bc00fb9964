// ptseg._ptseg: the segmenter for Python; the package ptseg re-exports it.
//
//   text.cpp     the input: encoding names, bytes-like objects, str, and a
//                whole text segmented slice by slice
//   results.cpp  Spans
//   calls.cpp    the whole-text calls and the batches
//   stream.cpp   ptseg.Segmenter
//   input.cpp    files read through the library's reader (compressed too)
//
// The Segmenter's method docstrings open with a text signature
// ("name(self, args)\n--\n\n"), which Python turns into
// __text_signature__ for help() and inspect.
#include <pybind11/pybind11.h>

#include "ptseg/ptseg.h"
#include "results.h"

namespace py = pybind11;

PYBIND11_MODULE(_ptseg, m) {
  py::options options;
  options.disable_function_signatures();
  m.doc() = "The compiled part of ptseg; use the package ptseg.";
  m.attr("__version__") = ptseg::Version();

  // The look-ahead ceiling, with the library's message.
  py::register_exception<ptseg::Error>(m, "Error", PyExc_RuntimeError);
  m.attr("Error").attr("__doc__") =
      "The segmenter failed on its input, as when one look-ahead needs more than 256 MiB "
      "of text.  The message is the library's.";

  ptseg_python::SetSpanType(py::module_::import("ptseg._span").attr("Span"));
  ptseg_python::DefineCalls(m);
  ptseg_python::DefineSegmenter(m);
  ptseg_python::DefineInput(m);
}
