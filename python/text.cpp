// The input side of the module (see text.h).
#include "text.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "library_text.h"

namespace ptseg_python {

void SentenceList::Add(const std::vector<ptseg::Boundary>& starts, std::vector<Sentence>* out) {
  // Each sentence is made in its place in the list: one made elsewhere
  // would be copied as a whole just after its fields were stored one by
  // one, which waits for those stores.
  for (const ptseg::Boundary& start : starts) {
    if (!collector_.Add(start, &out->emplace_back())) out->pop_back();
  }
}

void SentenceList::End(std::uint64_t size, std::vector<Sentence>* out) {
  Sentence sentence;
  if (collector_.End(size, &sentence)) out->push_back(sentence);
}

ptseg::Options ParseOptions(py::handle encoding, py::handle paragraphs, py::handle threads) {
  ptseg::Options options(ParseEncoding(encoding));
  if (!PyUnicode_Check(paragraphs.ptr())) {
    throw py::type_error(std::string("paragraphs must be str, not ") +
                         Py_TYPE(paragraphs.ptr())->tp_name);
  }
  const std::string where = paragraphs.cast<std::string>();
  if (where == "blank-lines") {
    options.paragraphs = ptseg::Paragraphs::kBlankLines;
  } else if (where != "lines") {
    throw py::value_error("paragraphs must be 'lines' or 'blank-lines', not '" + where + "'");
  }
  options.threads = ParseThreads(threads);
  return options;
}

unsigned ParseThreads(py::handle threads) {
  if (threads.is_none()) return 0;
  // Any integer, as range() takes them; TypeError for anything else.
  const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(threads.ptr()));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow == 0 && n == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || n < 1 || n > kMaxThreads) {
    throw py::value_error("threads must be at least 1 and below 2**32, or None for one per core");
  }
  return static_cast<unsigned>(n);
}

ptseg::Encoding ParseEncoding(py::handle name) {
  if (!PyUnicode_Check(name.ptr())) {
    throw py::type_error(std::string("encoding must be str, not ") + Py_TYPE(name.ptr())->tp_name);
  }
  ptseg::Encoding encoding;
  if (ptseg::ParseEncoding(name.cast<std::string>(), &encoding)) return encoding;
  // The name as repr() shows it: a NUL or a line break in it stays visible
  // and does not cut the message short.
  PyObject* message = PyUnicode_FromFormat(
      "unknown encoding %R: ptseg reads 'utf-8', 'latin-1', 'utf-16le' or 'utf-16be'", name.ptr());
  if (message != nullptr) {
    PyErr_SetObject(PyExc_ValueError, message);
    Py_DECREF(message);
  }
  throw py::error_already_set();
}

Bytes::Bytes(py::handle data, const char* what, bool str_too) {
  if (PyBytes_Check(data.ptr())) {
    in_place_ = std::string_view(PyBytes_AS_STRING(data.ptr()),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr())));
    return;
  }
  if (PyUnicode_Check(data.ptr()) || !PyObject_CheckBuffer(data.ptr())) {
    throw py::type_error(std::string(what) + " must be " +
                         (str_too ? "str or bytes-like" : "bytes-like") + ", not " +
                         Py_TYPE(data.ptr())->tp_name);
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

namespace {

// The text goes through eight bytes at a time where it can, as words: a
// str of many megabytes is read here once or twice before it is segmented.
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

inline std::uint64_t Word(const void* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Bytes of UTF-8 a code point takes beyond the first (surrogates are
// refused before).
inline std::size_t Utf8Extra(std::uint32_t cp) {
  return (cp >= 0x80) + (cp >= 0x800) + (cp >= 0x10000);
}

inline bool IsSurrogate(std::uint32_t cp) { return cp - 0xD800 < 0x800; }

// Whether the characters [i, i + n) are all ASCII, for the n a word holds.
inline bool AllAscii(const Py_UCS1* chars, std::size_t i) {
  return (Word(chars + i) & kHighBits) == 0;
}
inline bool AllAscii(const Py_UCS2* chars, std::size_t i) {
  return (Word(chars + i) & 0xFF80FF80FF80FF80u) == 0;
}
inline bool AllAscii(const Py_UCS4*, std::size_t) { return false; }

// Writes the ASCII characters a word holds as UTF-8.
inline void CopyAscii(const Py_UCS1* chars, char* out) { std::memcpy(out, chars, 8); }
inline void CopyAscii(const Py_UCS2* chars, char* out) {
  out[0] = static_cast<char>(chars[0]);
  out[1] = static_cast<char>(chars[1]);
  out[2] = static_cast<char>(chars[2]);
  out[3] = static_cast<char>(chars[3]);
}
inline void CopyAscii(const Py_UCS4*, char*) {}

// The code points in UTF-8 bytes: those not continuation bytes.
std::uint64_t CountCodePoints(const char* p, std::size_t size) {
  std::uint64_t continuations = 0;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    const std::uint64_t word = Word(p + i);
    // 10xxxxxx: bit 7 set, and bit 6, shifted up to bit 7, clear.  The
    // multiplication adds the eight flags up in the top byte.
    const std::uint64_t flags = (word & ~(word << 1) & kHighBits) >> 7;
    continuations += (flags * 0x0101010101010101u) >> 56;
  }
  for (; i < size; ++i) continuations += (static_cast<unsigned char>(p[i]) & 0xC0) == 0x80;
  return size - continuations;
}

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

}  // namespace

StrText::StrText(py::handle text) : text_(text) {
  kind_ = PyUnicode_KIND(text.ptr());
  data_ = PyUnicode_DATA(text.ptr());
  length_ = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr()));
}

std::string_view StrText::Input(ptseg::Encoding* encoding) {
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

void StrText::ToCodePoints(Sentence* begin, Sentence* end) {
  if (in_place_) return;
  auto convert = [this](std::uint64_t& offset) {
    walked_ += CountCodePoints(utf8_.data() + walked_bytes_, offset - walked_bytes_);
    walked_bytes_ = offset;
    offset = walked_;
  };
  for (Sentence* s = begin; s != end; ++s) {
    convert(s->start);
    convert(s->end);
  }
}

py::object StrText::Slice(std::uint64_t start, std::uint64_t end) const {
  PyObject* piece = PyUnicode_Substring(text_.ptr(), static_cast<Py_ssize_t>(start),
                                        static_cast<Py_ssize_t>(end));
  if (piece == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(piece);
}

template <typename F>
void StrText::Dispatch(F f) const {
  if (kind_ == PyUnicode_1BYTE_KIND) {
    f(static_cast<const Py_UCS1*>(data_));
  } else if (kind_ == PyUnicode_2BYTE_KIND) {
    f(static_cast<const Py_UCS2*>(data_));
  } else {
    f(static_cast<const Py_UCS4*>(data_));
  }
}

bool StrText::HasC1Controls() const {
  const auto* chars = static_cast<const Py_UCS1*>(data_);
  std::size_t i = 0;
  for (; i + 32 <= length_; i += 32) {
    // A byte 100xxxxx, and only such a byte, is zero after the mask and
    // the xor; a word has a zero byte exactly when the test is not zero.
    std::uint64_t zeros = 0;
    for (std::size_t k = 0; k < 32; k += 8) {
      const std::uint64_t c1 = (Word(chars + i + k) & 0xE0E0E0E0E0E0E0E0u) ^ kHighBits;
      zeros |= (c1 - 0x0101010101010101u) & ~c1 & kHighBits;
    }
    if (zeros != 0) return true;
  }
  for (; i < length_; ++i) {
    if (chars[i] >= 0x80 && chars[i] < 0xA0) return true;
  }
  return false;
}

template <typename Char>
void StrText::Encode(const Char* chars) {
  constexpr std::size_t kPerWord = 8 / sizeof(Char);
  std::size_t size = length_;
  bool surrogate = false;
  for (std::size_t i = 0; i < length_;) {
    if (i + kPerWord <= length_ && AllAscii(chars, i)) {
      i += kPerWord;
      continue;
    }
    const std::uint32_t cp = chars[i++];
    size += Utf8Extra(cp);
    surrogate |= IsSurrogate(cp);
  }
  if (surrogate) {
    surrogate_ = static_cast<std::int64_t>(
        std::find_if(chars, chars + length_, [](std::uint32_t cp) { return IsSurrogate(cp); }) -
        chars);
    return;
  }
  utf8_.resize(size);
  char* out = utf8_.data();
  for (std::size_t i = 0; i < length_;) {
    if (i + kPerWord <= length_ && AllAscii(chars, i)) {
      CopyAscii(chars + i, out);
      out += kPerWord;
      i += kPerWord;
    } else if (chars[i] < 0x80) {
      *out++ = static_cast<char>(chars[i++]);
    } else {
      out += EncodeUtf8(chars[i++], out);
    }
  }
}

Text::Text(py::handle text, const ptseg::Options& options) : text_(text), options_(options) {
  if (PyUnicode_Check(text.ptr())) {
    str_.emplace(text);
  } else {
    bytes_.emplace(text, "text", true);
  }
}

void Text::Step(std::vector<Sentence>* sentences) {
  if (!prepared_) {
    prepared_ = true;
    if (!Prepare()) {
      done_ = true;
      return;
    }
    if (markup_ != nullptr) {
      markup_->reserve(input_.size() + input_.size() / 8 + 16);
      std::string* out = markup_;
      auto append = [out](std::string_view piece) { out->append(piece); };
      segmenter_.emplace(options_, append, nullptr);
    } else {
      segmenter_.emplace(options_);
    }
  }
  const std::size_t first = sentences->size();
  if (fed_ < input_.size()) {
    const std::size_t n = std::min(kSlice, input_.size() - fed_);
    segmenter_->Feed(input_.substr(fed_, n));
    fed_ += n;
    if (markup_ == nullptr) list_.Add(segmenter_->TakeBoundaries(), sentences);
  } else {
    segmenter_->Finish();
    if (markup_ == nullptr) {
      list_.Add(segmenter_->TakeBoundaries(), sentences);
      list_.End(input_.size(), sentences);
    }
    done_ = true;
  }
  if (is_str())
    str_->ToCodePoints(sentences->data() + first, sentences->data() + sentences->size());
}

void Text::Check() const {
  if (is_str() && str_->surrogate() >= 0) RaiseSurrogate(text_, str_->surrogate());
}

py::object Text::Slice(const Sentence& s) const {
  if (is_str()) return str_->Slice(s.start, s.end);
  const std::string_view bytes = bytes_->view();
  return py::bytes(bytes.data() + s.start, static_cast<std::size_t>(s.end - s.start));
}

// Sets input_; false for a str that has no UTF-8 form.
bool Text::Prepare() {
  if (!is_str()) {
    input_ = bytes_->view();
    return true;
  }
  // A str is Unicode already: the encoding argument does not apply.
  input_ = str_->Input(&options_.encoding);
  return str_->surrogate() < 0;
}

}  // namespace ptseg_python
