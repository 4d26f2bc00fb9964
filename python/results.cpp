// Spans (see results.h).
#include "results.h"

#include <cstdint>

namespace ptseg_python {

namespace {

PyTypeObject* span_type = nullptr;

py::object Int(std::uint64_t value) {
  PyObject* number = PyLong_FromUnsignedLongLong(value);
  if (number == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(number);
}

}  // namespace

void SetSpanType(py::handle span) {
  if (!PyType_Check(span.ptr()) ||
      !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(span.ptr()), &PyTuple_Type) ||
      reinterpret_cast<PyTypeObject*>(span.ptr())->tp_basicsize != PyTuple_Type.tp_basicsize) {
    throw py::import_error("ptseg._span.Span must be a plain named tuple");
  }
  span_type = reinterpret_cast<PyTypeObject*>(span.inc_ref().ptr());  // kept for good
}

// A Span is a tuple subclass with no fields of its own, so each is
// allocated and filled as tuple.__new__ does for a subclass, without a call
// into its Python __new__; an end is the same int object as the next start.
void AppendSpans(const std::vector<Sentence>& sentences, py::list& list) {
  py::object end;
  py::object paragraph;
  std::uint64_t paragraph_number = 0;
  for (std::size_t i = 0; i < sentences.size(); ++i) {
    const Sentence& s = sentences[i];
    py::object start = i > 0 && s.start == sentences[i - 1].end ? end : Int(s.start);
    end = Int(s.end);
    if (!paragraph || s.paragraph != paragraph_number) {
      paragraph = Int(s.paragraph);
      paragraph_number = s.paragraph;
    }
    py::object span = py::reinterpret_steal<py::object>(span_type->tp_alloc(span_type, 3));
    if (!span) throw py::error_already_set();
    PyTuple_SET_ITEM(span.ptr(), 0, start.release().ptr());
    PyTuple_SET_ITEM(span.ptr(), 1, end.inc_ref().ptr());
    PyTuple_SET_ITEM(span.ptr(), 2, paragraph.inc_ref().ptr());
    // A Span holds only ints, so it can be part of no reference cycle.
    // CPython takes such tuples off the garbage collector's list itself,
    // but only when a collection walks them: a million Spans would be
    // walked again and again meanwhile, slowing spans() down by half.
    PyObject_GC_UnTrack(span.ptr());
    if (PyList_Append(list.ptr(), span.ptr()) != 0) throw py::error_already_set();
  }
}

py::list SpanList(const std::vector<Sentence>& sentences) {
  py::list list;
  AppendSpans(sentences, list);
  return list;
}

}  // namespace ptseg_python
