// ptseg._ptseg: the segmenter for Python; the package ptseg re-exports it.
//
// Every call takes hold of its input while it has the GIL (a reference to
// a str or bytes object, which cannot change, or a copy of any other
// buffer), releases the GIL while the segmenter runs, and builds its Python
// results after taking the GIL back: threads that segment separate texts
// run at the same time.  Whole texts go through in slices of 16 MiB, the
// results of each made before the next is segmented (see Text).
//
// A str is segmented through its UTF-8 form and its offsets are taken back
// to code points; bytes are segmented as they are, in the encoding asked
// for.  The Segmenter's method docstrings open with a text signature
// ("name($self, args)\n--\n\n"), which Python turns into
// __text_signature__ for help() and inspect.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ptseg/ptseg.h"
#include "text/utf8.h"

namespace py = pybind11;

namespace {

// A sentence: where it starts and ends, as offsets into the caller's text,
// and its paragraph's number, counted from 0.
struct Sentence {
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t paragraph;
};

// Turns the sentence starts the library reports into sentences: each one
// ends where the next starts, the last one where the text ends.
class SentenceList {
 public:
  void Add(const std::vector<ptseg::Boundary>& starts, std::vector<Sentence>* out) {
    for (const ptseg::Boundary& b : starts) {
      if (open_) out->push_back({start_, b.offset, paragraphs_ - 1});
      open_ = true;
      start_ = b.offset;
      // The first start always opens a paragraph, so an open sentence has
      // paragraphs_ >= 1.
      if (b.paragraph) ++paragraphs_;
    }
  }
  void End(std::uint64_t size, std::vector<Sentence>* out) {
    if (open_) out->push_back({start_, size, paragraphs_ - 1});
    open_ = false;
  }

 private:
  bool open_ = false;
  std::uint64_t start_ = 0;
  std::uint64_t paragraphs_ = 0;
};

// The encoding argument: "utf-8" or "latin-1", in the spellings Python
// accepts for them most often, in any case, "-" or "_".
ptseg::Encoding ParseEncoding(py::handle name) {
  if (!PyUnicode_Check(name.ptr())) {
    throw py::type_error(std::string("encoding must be str, not ") + Py_TYPE(name.ptr())->tp_name);
  }
  std::string key = name.cast<std::string>();
  for (char& c : key) c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (key == "utf-8" || key == "utf8") return ptseg::Encoding::kUtf8;
  if (key == "latin-1" || key == "latin1" || key == "iso-8859-1" || key == "iso8859-1") {
    return ptseg::Encoding::kLatin1;
  }
  throw py::value_error("unknown encoding '" + name.cast<std::string>() +
                        "': ptseg reads 'utf-8' or 'latin-1'");
}

// The bytes of a bytes-like object, readable without the GIL: a bytes
// object is read in place (the caller's reference keeps it alive), any
// other buffer is copied, since its owner may change it meanwhile.
class Bytes {
 public:
  Bytes(py::handle data, const char* what) {
    if (PyBytes_Check(data.ptr())) {
      in_place_ = std::string_view(PyBytes_AS_STRING(data.ptr()),
                                   static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr())));
      return;
    }
    if (PyUnicode_Check(data.ptr()) || !PyObject_CheckBuffer(data.ptr())) {
      throw py::type_error(std::string(what) + " must be " +
                           (PyUnicode_Check(data.ptr()) ? "bytes-like" : "str or bytes-like") +
                           ", not " + Py_TYPE(data.ptr())->tp_name);
    }
    Py_buffer buffer;
    if (PyObject_GetBuffer(data.ptr(), &buffer, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    try {
      copy_.assign(static_cast<const char*>(buffer.buf), static_cast<std::size_t>(buffer.len));
    } catch (...) {
      PyBuffer_Release(&buffer);
      throw;
    }
    PyBuffer_Release(&buffer);
    copied_ = true;
  }
  std::string_view view() const { return copied_ ? std::string_view(copy_) : in_place_; }

 private:
  std::string_view in_place_;
  bool copied_ = false;
  std::string copy_;
};

// Bytes of UTF-8 a code point takes (surrogates are refused before).
inline std::uint64_t Utf8Length(std::uint32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// The characters of a str, read without the GIL (a str never changes, and
// the caller's reference keeps it alive).
//
// CPython keeps a str whose characters are all below U+0100 one byte per
// character: its ISO-8859-1 form.  The segmenter reads UTF-8 and ISO-8859-1
// text alike character for character, except the C1 controls U+0080-U+009F,
// which it reads in UTF-8 as Windows-1252 characters.  So such a str
// without C1 controls is segmented in place as ISO-8859-1, its offsets
// already code points; any other goes through its UTF-8 form.
class StrText {
 public:
  explicit StrText(py::handle text) : text_(text) {
    kind_ = PyUnicode_KIND(text.ptr());
    data_ = PyUnicode_DATA(text.ptr());
    length_ = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr()));
  }

  // What the segmenter reads, and sets *encoding to how; made on the first
  // call.  Empty after a lone surrogate, which UTF-8 cannot carry (see
  // surrogate()).
  std::string_view Input(ptseg::Encoding* encoding) {
    if (!decided_) {
      decided_ = true;
      in_place_ = kind_ == PyUnicode_1BYTE_KIND && !HasC1Controls();
      if (!in_place_) Dispatch([this](auto* chars) { Encode(chars); });
    }
    if (in_place_) {
      *encoding = ptseg::Encoding::kLatin1;
      return std::string_view(static_cast<const char*>(data_), length_);
    }
    *encoding = ptseg::Encoding::kUtf8;
    return utf8_;
  }

  // Where the first lone surrogate is, or -1.
  std::int64_t surrogate() const { return surrogate_; }

  // Turns offsets into Input() into code point offsets.  The offsets must
  // rise, from one call to the next too (an end may equal the next start),
  // and fall between characters.
  void ToCodePoints(std::vector<Sentence>* sentences) {
    if (in_place_) return;
    Dispatch([this, sentences](auto* chars) {
      auto convert = [&](std::uint64_t& offset) {
        while (walked_bytes_ < offset) walked_bytes_ += Utf8Length(chars[walked_++]);
        offset = walked_;
      };
      for (Sentence& s : *sentences) {
        convert(s.start);
        convert(s.end);
      }
    });
  }

  // The sentence [start, end) in code points, as a str.
  py::object Slice(std::uint64_t start, std::uint64_t end) const {
    PyObject* piece = PyUnicode_Substring(text_.ptr(), static_cast<Py_ssize_t>(start),
                                          static_cast<Py_ssize_t>(end));
    if (piece == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(piece);
  }

 private:
  template <typename F>
  void Dispatch(F f) const {
    if (kind_ == PyUnicode_1BYTE_KIND) {
      f(static_cast<const Py_UCS1*>(data_));
    } else if (kind_ == PyUnicode_2BYTE_KIND) {
      f(static_cast<const Py_UCS2*>(data_));
    } else {
      f(static_cast<const Py_UCS4*>(data_));
    }
  }

  bool HasC1Controls() const {
    const auto* chars = static_cast<const Py_UCS1*>(data_);
    bool found = false;
    for (std::size_t i = 0; i < length_; ++i) found |= chars[i] >= 0x80 && chars[i] < 0xA0;
    return found;
  }

  template <typename Char>
  void Encode(const Char* chars) {
    std::size_t size = 0;
    for (std::size_t i = 0; i < length_; ++i) {
      const std::uint32_t cp = chars[i];
      if (cp >= 0xD800 && cp < 0xE000) {
        surrogate_ = static_cast<std::int64_t>(i);
        return;
      }
      size += Utf8Length(cp);
    }
    utf8_.resize(size);
    char* out = utf8_.data();
    for (std::size_t i = 0; i < length_; ++i) {
      if (chars[i] < 0x80) {
        *out++ = static_cast<char>(chars[i]);
      } else {
        out += ptseg::utf8::Encode(chars[i], out);
      }
    }
  }

  py::handle text_;
  int kind_;
  const void* data_;
  std::size_t length_;
  bool decided_ = false;
  bool in_place_ = false;
  std::string utf8_;
  std::int64_t surrogate_ = -1;
  // Where ToCodePoints() stopped: characters and UTF-8 bytes before it.
  std::uint64_t walked_ = 0;
  std::uint64_t walked_bytes_ = 0;
};

// A lone surrogate (say from errors="surrogateescape") has no UTF-8 form:
// such text is refused, with the way to segment it as the bytes it came
// from.  UnicodeEncodeError is a ValueError.
[[noreturn]] void RaiseSurrogate(py::handle text, std::int64_t index) {
  PyObject* error = PyObject_CallFunction(
      PyExc_UnicodeEncodeError, "sOnns", "utf-8", text.ptr(), static_cast<Py_ssize_t>(index),
      static_cast<Py_ssize_t>(index + 1),
      "surrogates not allowed: segment text.encode('utf-8', 'surrogateescape') instead");
  if (error != nullptr) {
    PyErr_SetObject(PyExc_UnicodeEncodeError, error);
    Py_DECREF(error);
  }
  throw py::error_already_set();
}

// A whole-text call's text, str or bytes-like, and its sentences.
class Text {
 public:
  Text(py::handle text, py::handle encoding) : text_(text), encoding_(ParseEncoding(encoding)) {
    if (PyUnicode_Check(text.ptr())) {
      str_.emplace(text);
    } else {
      bytes_.emplace(text, "text");
    }
  }

  bool is_str() const { return str_.has_value(); }
  // How the text is read (known once Step() or Markup() ran).
  ptseg::Encoding encoding() const { return encoding_; }

  // Segments the next slice of the text, or at its end finishes, and
  // returns the sentences that became complete, in offsets into the text:
  // code points for a str, bytes otherwise.  Runs without the GIL.
  std::vector<Sentence> Step() {
    std::vector<Sentence> sentences;
    if (!prepared_) {
      prepared_ = true;
      if (!Prepare()) {
        done_ = true;
        return sentences;
      }
      segmenter_.emplace(encoding_);
    }
    if (fed_ < input_.size()) {
      const std::size_t n = std::min(kSlice, input_.size() - fed_);
      segmenter_->Feed(input_.substr(fed_, n));
      fed_ += n;
      list_.Add(segmenter_->TakeBoundaries(), &sentences);
    } else {
      segmenter_->Finish();
      list_.Add(segmenter_->TakeBoundaries(), &sentences);
      list_.End(input_.size(), &sentences);
      done_ = true;
    }
    if (is_str()) str_->ToCodePoints(&sentences);
    return sentences;
  }
  bool done() const { return done_; }

  // The marked-up text, as the bytes the library writes: for a str, in the
  // encoding it was read in (see StrText).  Runs without the GIL.
  std::string Markup() {
    if (!Prepare()) return std::string();
    return ptseg::Markup(input_, encoding_);
  }

  // Raises the error a str with a lone surrogate gets.  Needs the GIL.
  void Check() const {
    if (is_str() && str_->surrogate() >= 0) RaiseSurrogate(text_, str_->surrogate());
  }

  // One sentence of the text, as str or bytes.  Needs the GIL.
  py::object Slice(const Sentence& s) const {
    if (is_str()) return str_->Slice(s.start, s.end);
    const std::string_view bytes = bytes_->view();
    return py::bytes(bytes.data() + s.start, static_cast<std::size_t>(s.end - s.start));
  }

 private:
  // Sets input_; false for a str that has no UTF-8 form.
  bool Prepare() {
    if (!is_str()) {
      input_ = bytes_->view();
      return true;
    }
    // A str is Unicode already: the encoding argument does not apply.
    input_ = str_->Input(&encoding_);
    return str_->surrogate() < 0;
  }

  // A long text is segmented in slices, each with the GIL released, and
  // each slice's Python objects made before the next: two threads then
  // build their results while the other segments, not both at the end.
  static constexpr std::size_t kSlice = std::size_t{16} << 20;

  py::handle text_;
  ptseg::Encoding encoding_;
  // One of the two holds the text.
  std::optional<StrText> str_;
  std::optional<Bytes> bytes_;
  std::string_view input_;
  bool prepared_ = false;
  bool done_ = false;
  std::optional<ptseg::Segmenter> segmenter_;
  std::size_t fed_ = 0;
  SentenceList list_;
};

py::object Int(std::uint64_t value) {
  PyObject* number = PyLong_FromUnsignedLongLong(value);
  if (number == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(number);
}

// ptseg.Span, the named tuple defined in Python (ptseg/_span.py).
PyTypeObject* span_type = nullptr;

// Appends Spans to a list.  A Span is a tuple subclass with no fields of
// its own, so each is allocated and filled as tuple.__new__ does for a
// subclass, without a call into its Python __new__; an end is the same int
// object as the next start.
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

// Segments the text slice by slice and hands each slice's sentences to
// add(), which runs with the GIL.
template <typename Add>
void ForEachSlice(Text& text, Add add) {
  while (!text.done()) {
    std::vector<Sentence> sentences;
    {
      py::gil_scoped_release unlocked;
      sentences = text.Step();
    }
    text.Check();
    add(sentences);
  }
}

py::list Split(py::handle text, py::handle encoding) {
  Text t(text, encoding);
  py::list list;
  ForEachSlice(t, [&](const std::vector<Sentence>& sentences) {
    for (const Sentence& s : sentences) list.append(t.Slice(s));
  });
  return list;
}

py::list Spans(py::handle text, py::handle encoding) {
  Text t(text, encoding);
  py::list list;
  ForEachSlice(t, [&](const std::vector<Sentence>& sentences) { AppendSpans(sentences, list); });
  return list;
}

py::list Paragraphs(py::handle text, py::handle encoding) {
  Text t(text, encoding);
  py::list paragraphs;
  py::list paragraph;
  ForEachSlice(t, [&](const std::vector<Sentence>& sentences) {
    for (const Sentence& s : sentences) {
      if (s.paragraph == paragraphs.size()) {
        paragraph = py::list();
        paragraphs.append(paragraph);
      }
      paragraph.append(t.Slice(s));
    }
  });
  return paragraphs;
}

py::object Markup(py::handle text, py::handle encoding) {
  Text t(text, encoding);
  std::string out;
  {
    py::gil_scoped_release unlocked;
    out = t.Markup();
  }
  t.Check();
  if (!t.is_str()) return py::bytes(out);
  // The markup is ASCII, inserted between characters.
  PyObject* str = t.encoding() == ptseg::Encoding::kLatin1
      ? PyUnicode_DecodeLatin1(out.data(), static_cast<Py_ssize_t>(out.size()), "strict")
      : PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict");
  if (str == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(str);
}

// Bytes as text, read the way the segmenter reads them.
py::str Decode(py::handle data, py::handle encoding) {
  const ptseg::Encoding e = ParseEncoding(encoding);
  const Bytes bytes(data, "data");
  std::string utf8;
  {
    py::gil_scoped_release unlocked;
    utf8.reserve(bytes.view().size());
    ptseg::AppendUtf8(bytes.view(), e, &utf8);
  }
  PyObject* str = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict");
  if (str == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(str);
}

// ptseg.Segmenter.  One lock guards the stream: calls from several
// threads take turns instead of corrupting it.  The lock is never held
// while waiting for the GIL, so the two cannot deadlock.
class StreamSegmenter {
 public:
  explicit StreamSegmenter(py::handle encoding) : segmenter_(ParseEncoding(encoding)) {}

  py::list Feed(py::handle data) {
    const Bytes bytes(data, "data");
    std::vector<Sentence> sentences;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> lock(mutex_);
      CheckUsable("feed");
      Run([&] {
        segmenter_.Feed(bytes.view());
        list_.Add(segmenter_.TakeBoundaries(), &sentences);
      });
    }
    return SpanList(sentences);
  }

  py::list Finish() {
    std::vector<Sentence> sentences;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> lock(mutex_);
      if (!finished_ || failed_) {
        CheckUsable("finish");
        Run([&] {
          segmenter_.Finish();
          list_.Add(segmenter_.TakeBoundaries(), &sentences);
          list_.End(segmenter_.size(), &sentences);
        });
        finished_ = true;
      }
    }
    return SpanList(sentences);
  }

 private:
  // Errors raised here reach Python once the GIL is back.
  void CheckUsable(const char* call) const {
    if (failed_) {
      throw py::value_error(std::string(call) + "() on a Segmenter that failed: start a new one");
    }
    if (finished_) throw py::value_error(std::string(call) + "() after finish()");
  }

  // After an error (a look-ahead past the ceiling, no memory) the library's
  // Segmenter cannot go on, and sentences may have been lost.
  template <typename F>
  void Run(F f) {
    try {
      f();
    } catch (...) {
      failed_ = true;
      throw;
    }
  }

  std::mutex mutex_;
  ptseg::Segmenter segmenter_;
  SentenceList list_;
  bool finished_ = false;
  bool failed_ = false;
};

constexpr char kSegmenterDoc[] = R"(Segments a stream of bytes fed in pieces of any size.

feed() each piece, then finish(); each returns the Spans of the sentences it
completed, in byte offsets from the start of the stream, paragraphs
numbered across the whole stream.  The Spans are the same however the
stream is cut.  Calls from several threads take turns.)";

constexpr char kInitDoc[] = R"(__init__($self, /, encoding='utf-8')
--

A Segmenter for a new stream, read in encoding: 'utf-8' (bytes that are not
valid UTF-8 read as Windows-1252) or 'latin-1'.)";

constexpr char kFeedDoc[] = R"(feed($self, data, /)
--

Segments the next bytes of the stream (bytes-like) and returns the Spans of
the sentences they complete.  Raises ptseg.Error when one look-ahead would
need more than 256 MiB; the Segmenter is then unusable.)";

constexpr char kFinishDoc[] = R"(finish($self, /)
--

Ends the stream and returns the Spans of the sentences left.  feed() may
not follow; finish() again returns [].)";

}  // namespace

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

  py::object span = py::module_::import("ptseg._span").attr("Span");
  if (!PyType_Check(span.ptr()) ||
      !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(span.ptr()), &PyTuple_Type) ||
      reinterpret_cast<PyTypeObject*>(span.ptr())->tp_basicsize != PyTuple_Type.tp_basicsize) {
    throw py::import_error("ptseg._span.Span must be a plain named tuple");
  }
  span_type = reinterpret_cast<PyTypeObject*>(span.release().ptr());  // kept for good

  // The public functions are Python functions in __init__.py, which pickle
  // by name (these cannot), and carry the documentation.
  m.def("split", &Split, "ptseg.split()");
  m.def("spans", &Spans, "ptseg.spans()");
  m.def("paragraphs", &Paragraphs, "ptseg.paragraphs()");
  m.def("markup", &Markup, "ptseg.markup()");
  m.def("decode", &Decode, "Bytes (bytes-like) as str, read as the segmenter reads them.");

  py::class_<StreamSegmenter>(m, "Segmenter", kSegmenterDoc)
      .def(py::init<py::handle>(), kInitDoc, py::arg_v("encoding", "utf-8"))
      .def("feed", &StreamSegmenter::Feed, kFeedDoc, py::arg("data"))
      .def("finish", &StreamSegmenter::Finish, kFinishDoc);
}
