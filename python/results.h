// The output side of the module: Spans, and the check for signals between
// two slices of a long call.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "text.h"

namespace ptseg_python {

// Takes ptseg.Span, the named tuple defined in Python (ptseg/_span.py),
// for the Spans made from then on.  At import.
void SetSpanType(py::handle span);

// Appends a Span per sentence to list.  Needs the GIL.
void AppendSpans(const std::vector<Sentence>& sentences, py::list& list);
py::list SpanList(const std::vector<Sentence>& sentences);

// Runs the Python signal handlers of signals that came meanwhile (as
// Ctrl-C), and raises what they raise.  Needs the GIL.
inline void CheckSignals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// Defines the whole-text calls and the streaming Segmenter on m.
void DefineCalls(py::module_& m);
void DefineSegmenter(py::module_& m);
// Defines Input, a file read through the library's reader.
void DefineInput(py::module_& m);

}  // namespace ptseg_python
