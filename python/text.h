// The input side of the module: encoding names, bytes-like objects, str,
// and a whole text segmented slice by slice.
//
// Every call takes hold of its input while it has the GIL (a reference to
// a str or bytes object, which cannot change, or a copy of any other
// buffer) and segments it without the GIL.  A str is segmented through its
// UTF-8 form and its offsets are taken back to code points; bytes are
// segmented as they are, in the encoding asked for.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ptseg/ptseg.h"

namespace ptseg_python {

namespace py = pybind11;

// A sentence: where it starts and ends, as offsets into the caller's text
// (bytes, until a str's are made code points), and its paragraph's
// number, counted from 0.
using Sentence = ptseg::Sentence;

// The library's sentences of the starts it reports, gathered in lists.
class SentenceList {
 public:
  void Add(const std::vector<ptseg::Boundary>& starts, std::vector<Sentence>* out);
  void End(std::uint64_t size, std::vector<Sentence>* out);

 private:
  ptseg::SentenceCollector collector_;
};

// The encoding argument; raises TypeError or ValueError.  Needs the GIL.
ptseg::Encoding ParseEncoding(py::handle name);
// The options of a whole-text call: its encoding, paragraphs ('lines' or
// 'blank-lines') and threads (an int, or None for one per core).
ptseg::Options ParseOptions(py::handle encoding, py::handle paragraphs, py::handle threads);
// A threads argument: a positive integer that the library's count holds
// (below 2**32), or None for one per core (0); raises TypeError or
// ValueError.  Needs the GIL.
inline constexpr long long kMaxThreads = 0xFFFFFFFF;
unsigned ParseThreads(py::handle threads);

// The bytes of a bytes-like object, readable without the GIL: a bytes
// object is read in place (the caller's reference keeps it alive), any
// other buffer is copied, since its owner may change it meanwhile.
class Bytes {
 public:
  // what names the argument in the TypeError anything else gets; str_too
  // says the call takes a str as well (which never reaches here).
  Bytes(py::handle data, const char* what, bool str_too = false);
  std::string_view view() const { return copied_ ? std::string_view(copy_) : in_place_; }

 private:
  std::string_view in_place_;
  bool copied_ = false;
  std::string copy_;
};

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
  explicit StrText(py::handle text);

  // What the segmenter reads, and sets *encoding to how; made on the first
  // call.  Empty after a lone surrogate, which UTF-8 cannot carry (see
  // surrogate()).
  std::string_view Input(ptseg::Encoding* encoding);

  // Where the first lone surrogate is, or -1.
  std::int64_t surrogate() const { return surrogate_; }

  // Turns offsets into Input() into code point offsets.  The offsets must
  // rise, from one call to the next too (an end may equal the next start),
  // and fall between characters.
  void ToCodePoints(Sentence* begin, Sentence* end);

  // The sentence [start, end) in code points, as a str.  Needs the GIL.
  py::object Slice(std::uint64_t start, std::uint64_t end) const;

 private:
  template <typename F>
  void Dispatch(F f) const;
  bool HasC1Controls() const;
  template <typename Char>
  void Encode(const Char* chars);

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

// A whole-text call's text, str or bytes-like, and its sentences.  Made
// and read with the GIL; Step() and StartMarkup() run without it.
class Text {
 public:
  // Long texts go in slices of this many bytes, with the GIL taken
  // between two: for the slice's results, and to check for signals.
  static constexpr std::size_t kSlice = std::size_t{4} << 20;

  Text(py::handle text, const ptseg::Options& options);

  bool is_str() const { return str_.has_value(); }
  // How the text is read (known once Step() ran).
  ptseg::Encoding encoding() const { return options_.encoding; }

  // Makes the steps write the marked-up text to *out, as the bytes the
  // library writes (for a str, in the encoding it is read in: see
  // StrText), instead of returning sentences.  Before the first Step().
  void StartMarkup(std::string* out) { markup_ = out; }

  // Segments the next slice of the text, or at its end finishes, and
  // appends the sentences that became complete, in offsets into the text:
  // code points for a str, bytes otherwise.
  void Step(std::vector<Sentence>* sentences);
  bool done() const { return done_; }

  // Raises the error a str with a lone surrogate gets.  Needs the GIL.
  void Check() const;

  // One sentence of the text, as str or bytes.  Needs the GIL.
  py::object Slice(const Sentence& s) const;

 private:
  bool Prepare();

  py::handle text_;
  ptseg::Options options_;
  // One of the two holds the text.
  std::optional<StrText> str_;
  std::optional<Bytes> bytes_;
  std::string* markup_ = nullptr;
  std::string_view input_;
  bool prepared_ = false;
  bool done_ = false;
  std::optional<ptseg::Segmenter> segmenter_;
  std::size_t fed_ = 0;
  SentenceList list_;
};

}  // namespace ptseg_python
