#include "cli/formats.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cli/names.h"
#include "driver/io.h"

namespace ptsplit {
namespace {

// Input is read this much at a time, into a buffer of at least
// kStartCapacity bytes.
constexpr std::size_t kInputPiece = std::size_t{1} << 16;
constexpr std::size_t kStartCapacity = std::size_t{1} << 18;
// Reads go to addresses on this boundary: the kernel copies a file's
// bytes to some others much more slowly (reads to 16 bytes past one made
// ptsplit 10% slower).
constexpr std::size_t kReadAlign = 64;

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw WriteError{errno};
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// The length of the whitespace character at p in valid UTF-8, or 0.
// Whitespace, for the lines format, is space, tab, LF, VT, FF, CR, and the
// characters the segmenter reads as a space or a line break (U+2000-U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000).  The no-break space U+00A0 is
// not: it binds the words on either side, and the segmenter does not read
// it as a blank either.
std::size_t WhitespaceAt(const char* p, const char* end) {
  const auto c = static_cast<unsigned char>(p[0]);
  if (c < 0x80) return c == ' ' || (c >= '\t' && c <= '\r') ? 1 : 0;
  if ((c != 0xE2 && c != 0xE3) || end - p < 3) return 0;
  const auto c1 = static_cast<unsigned char>(p[1]);
  const auto c2 = static_cast<unsigned char>(p[2]);
  if (c == 0xE3) return c1 == 0x80 && c2 == 0x80 ? 3 : 0;
  if (c1 == 0x80) {
    return (c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF ? 3 : 0;
  }
  return c1 == 0x81 && c2 == 0x9F ? 3 : 0;
}

// Writes `utf8` to `out` with every whitespace run made one space, and none
// at either end; returns its length.  `out` has room for 16 bytes more
// than `utf8`: the result is never longer, and text is copied 16 bytes at
// a time.  Single spaces between words, most of the whitespace of any
// text, are copied with the words.
std::size_t CollapseWhitespace(std::string_view utf8, char* out) {
  char* o = out;
  const char* p = utf8.data();
  const char* const end = p + utf8.size();
  // Whether a space here would be the line's first byte or follow a space.
  auto spaced = [&] { return o == out || o[-1] == ' '; };
#if defined(__SSE2__)
  // Flags those of 16 bytes that may start whitespace other than a single
  // space: up to 0x1F, and the lead bytes E2 and E3 (unsigned comparisons
  // done as signed ones on bytes shifted by 0x80), and spaces that follow
  // a space; from byte `from` of them on, the byte before which is
  // written already (spaced() tells).
  const auto specials = [&](__m128i bytes, unsigned from) {
    const __m128i b = _mm_xor_si128(bytes, _mm_set1_epi8(static_cast<char>(0x80)));
    const auto control = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_or_si128(_mm_cmplt_epi8(b, _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80))),
                     _mm_cmpgt_epi8(b, _mm_set1_epi8(static_cast<char>(0xE1 ^ 0x80))))));
    const auto space =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '))));
    const unsigned after = (0xFFFFu << from) & 0xFFFF;
    const unsigned before = ((space << 1) & ~(1u << from)) | (spaced() ? 1u << from : 0u);
    return (control | (space & before)) & after;
  };
  bool tail_tried = false;
#endif
  while (p < end) {
#if defined(__SSE2__)
    if (end - p < 16 && end - utf8.data() >= 16 && !tail_tried) {
      tail_tried = true;
      // The last bytes: those of the last 16 from p on, in one vector.
      const char* const last = end - 16;
      const auto from = static_cast<unsigned>(p - last);
      if (specials(_mm_loadu_si128(reinterpret_cast<const __m128i*>(last)), from) == 0) {
        std::memcpy(o, p, static_cast<std::size_t>(end - p));
        o += end - p;
        break;
      }
    }
    if (end - p >= 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const unsigned special = specials(bytes, 0);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), bytes);
      const std::size_t n = special == 0 ? 16 : static_cast<std::size_t>(__builtin_ctz(special));
      o += n;
      p += n;
      if (n != 0) continue;
    } else  // fewer than 16 bytes left: byte by byte
#endif
    {
      const auto c = static_cast<unsigned char>(*p);
      if ((c > ' ' && c < 0xE2) || (c == ' ' && !spaced())) {
        *o++ = *p++;
        continue;
      }
    }
    const std::size_t blank = WhitespaceAt(p, end);
    if (blank == 0) {  // a control character, or a character that is no space
      *o++ = *p++;
      continue;
    }
    p += blank;
    if (!spaced()) *o++ = ' ';
  }
  if (o != out && o[-1] == ' ') --o;
  return static_cast<std::size_t>(o - out);
}

// Writes `text` at o; returns the end.
char* Put(char* o, std::string_view text) {
  std::memcpy(o, text.data(), text.size());
  return o + text.size();
}

}  // namespace

Output::Output(int fd) : fd_(fd), buffer_(new char[kCapacity]) {}

void Output::Write(std::string_view bytes) {
  if (bytes.size() > kCapacity - size_) {
    Flush();
    if (bytes.size() >= kCapacity) {
      WriteAll(fd_, bytes.data(), bytes.size());
      return;
    }
  }
  std::memcpy(buffer_.get() + size_, bytes.data(), bytes.size());
  size_ += bytes.size();
}

void Output::Flush() {
  const std::size_t size = size_;
  size_ = 0;  // a failed write is not tried again
  WriteAll(fd_, buffer_.get(), size);
}

Splitter::Splitter(Format format, const ptseg::Options& options, Output* out, bool several)
    : format_(format),
      options_(options),
      out_(out),
      several_(several),
      warn_([](const std::string& name, const std::string& warning) {
        std::fprintf(stderr, "ptsplit: %s: %s\n", name.c_str(), warning.c_str());
      }),
      buffer_(new char[kStartCapacity + kReadAlign]),
      data_(Base()),
      capacity_(kStartCapacity) {}

void Splitter::Begin() {
  wrote_line_ = false;
  blank_line_due_ = false;
  began_input_ = false;
  if (format_ != Format::kXml) return;
  out_->Write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  if (several_) out_->Write("<corpus>\n");
}

void Splitter::End() {
  if (format_ != Format::kXml) return;
  if (several_) {
    out_->Write("</corpus>\n");
  } else if (!began_input_) {
    out_->Write("<text></text>\n");  // the one input could not be read
  }
}

std::string Splitter::Split(int fd, std::string_view name, std::atomic<std::uint64_t>* bytes_read,
                            bool flush_each_read) {
  ptseg::Input input(fd, std::string(name));
  BeginInput(name);
  std::optional<ptseg::Segmenter> segmenter;
  std::string error;
  for (;;) {
    if (flush_each_read && !ptseg::HasAtHand(fd, kInputPiece)) out_->Flush();
    MakeRoom();
    std::size_t n = 0;
    try {
      n = input.Read(data_ + filled_, kInputPiece);
    } catch (const ptseg::InputError& e) {
      error = e.reason();
    }
    if (!segmenter) {
      const ptseg::Options options = Start(input);
      if (format_ == Format::kMarkup) {
        // The library writes the markup as soon as it is decided, so that
        // a text without sentence ends never piles up here.
        segmenter.emplace(
            options, [this](std::string_view piece) { out_->Write(piece); },
            [](const ptseg::Boundary&) {});
      } else {
        segmenter.emplace(options, nullptr, [this](const ptseg::Boundary& start) { Found(start); });
      }
    }
    if (n == 0) break;
    const std::string_view bytes(data_ + filled_, n);
    filled_ += bytes.size();
    if (bytes_read != nullptr) *bytes_read += bytes.size();
    segmenter->Feed(bytes);
    if (format_ == Format::kMarkup) {
      // The markup keeps what it still needs of the input itself, so the
      // next read goes to the same place, still in the cache.
      buffer_from_ += filled_;
      written_ = buffer_from_;
      filled_ = 0;
      data_ = Base();
    }
  }
  segmenter->Finish();
  EndInput(segmenter->size());
  return error;
}

// How the input is read, now that its first bytes show what it holds: a
// UTF-16 byte-order mark makes UTF-8 input UTF-16, and input that looks
// binary is segmented all the same, with a warning.
ptseg::Options Splitter::Start(const ptseg::Input& input) {
  ptseg::Options options = options_;
  if (options.encoding == ptseg::Encoding::kUtf8) {
    if (input.bom() == ptseg::Input::Bom::kUtf16Le) options.encoding = ptseg::Encoding::kUtf16Le;
    if (input.bom() == ptseg::Input::Bom::kUtf16Be) options.encoding = ptseg::Encoding::kUtf16Be;
  }
  if (input.looks_binary()) warn_(input.name(), "warning: NUL bytes at the start: not text?");
  encoding_ = options.encoding;
  return options;
}

// The first 64-byte boundary in buffer_.
char* Splitter::Base() const {
  const auto at = reinterpret_cast<std::uintptr_t>(buffer_.get());
  return buffer_.get() + (kReadAlign - at % kReadAlign) % kReadAlign;
}

// Makes room for a read: drops what was written, and grows the buffer when
// what is still to write fills half of it, so that no byte is moved more
// than once on average however far the decided text lags behind the reads
// (a few chunks with threads).  What is kept is moved to end on a read
// boundary.
void Splitter::MakeRoom() {
  if (static_cast<std::size_t>(Base() + capacity_ - data_) - filled_ >= kInputPiece) return;
  const auto done = static_cast<std::size_t>(written_ - buffer_from_);
  const std::size_t kept = filled_ - done;
  const std::size_t lead = (kReadAlign - kept % kReadAlign) % kReadAlign;
  char* const from = data_ + done;
  filled_ = kept;
  buffer_from_ += done;
  if (lead + kept + kInputPiece <= capacity_ && kept <= capacity_ / 2) {
    data_ = Base() + lead;
    std::memmove(data_, from, kept);
    return;
  }
  const std::size_t capacity = std::max(2 * capacity_, 2 * kept + kInputPiece + kReadAlign);
  std::unique_ptr<char[]> grown(new char[capacity + kReadAlign]);
  std::swap(buffer_, grown);
  capacity_ = capacity;
  data_ = Base() + lead;
  std::memcpy(data_, from, kept);
}

std::string_view Splitter::Bytes(std::uint64_t start, std::uint64_t end) const {
  return std::string_view(data_ + (start - buffer_from_), static_cast<std::size_t>(end - start));
}

void Splitter::BeginInput(std::string_view name) {
  began_input_ = true;
  data_ = Base();
  filled_ = 0;
  buffer_from_ = 0;
  written_ = 0;
  wrote_sentence_ = false;
  name_.clear();
  if (!several_) {
    if (format_ == Format::kXml) out_->Write("<text>");
    return;
  }
  text_ = DisplayName(name);
  if (format_ == Format::kJsonl) {
    ptseg::AppendJsonEscaped(text_, &name_);
  } else if (format_ == Format::kXml) {
    formatted_ = "<text file=\"";
    ptseg::AppendXmlEscaped(text_, ptseg::XmlPlace::kAttribute, &formatted_);
    formatted_ += "\">";
    out_->Write(formatted_);
  }
}

void Splitter::EndInput(std::uint64_t size) {
  ptseg::Sentence last;
  if (format_ != Format::kMarkup && sentences_.End(size, &last)) Write(last);
  if (format_ == Format::kXml) out_->Write(wrote_sentence_ ? "</p></text>\n" : "</text>\n");
}

// A sentence starts (in every format but markup): the sentence before it
// goes out.
void Splitter::Found(const ptseg::Boundary& start) {
  ptseg::Sentence ended;
  if (sentences_.Add(start, &ended)) Write(ended);
  written_ = start.offset;
}

// Writes a sentence in the lines, jsonl or xml format.
void Splitter::Write(const ptseg::Sentence& sentence) {
  const std::string_view bytes = Bytes(sentence.start, sentence.end);
  const bool utf16 =
      encoding_ == ptseg::Encoding::kUtf16Le || encoding_ == ptseg::Encoding::kUtf16Be;
  if (format_ == Format::kJsonl && !utf16) {
    // Decoded as it is escaped.
    WriteJson(sentence, bytes, encoding_);
    return;
  }
  // Boundaries fall on character starts, so the sentences decoded one by
  // one are the input decoded.
  const std::string_view text = ptseg::AsUtf8(bytes, encoding_, &text_);
  if (format_ == Format::kLines) {
    if (sentence.opens_paragraph) blank_line_due_ = wrote_line_;
    WriteLine(text);
  } else if (format_ == Format::kJsonl) {
    WriteJson(sentence, text, ptseg::Encoding::kUtf8);
  } else {
    WriteXml(sentence, text);
  }
  wrote_sentence_ = true;
}

void Splitter::WriteLine(std::string_view utf8) {
  // The line is made in a buffer of its own, since a string would be
  // cleared to zeros each time it grows.
  char* const line = LineBuffer(utf8.size() + 17);
  std::size_t size = CollapseWhitespace(utf8, line);
  if (size == 0) return;  // a sentence of whitespace only
  if (blank_line_due_) out_->Write("\n");
  blank_line_due_ = false;
  line[size++] = '\n';
  out_->Write(std::string_view(line, size));
  wrote_line_ = true;
}

// The line is made in a buffer of its own (see WriteLine).
char* Splitter::LineBuffer(std::size_t size) {
  if (line_capacity_ < size) {
    line_capacity_ = std::max(2 * line_capacity_, size);
    line_.reset(new char[line_capacity_]);
  }
  return line_.get();
}

void Splitter::WriteJson(const ptseg::Sentence& sentence, std::string_view bytes,
                         ptseg::Encoding encoding) {
  // A long sentence goes in pieces, so that the buffer need not be six
  // times its size.  Besides the name and the text, the line holds 70
  // bytes and three numbers of at most 20 digits.
  constexpr std::size_t kPiece = std::size_t{1} << 16;
  char* const line = LineBuffer(name_.size() + 6 * std::min(bytes.size(), kPiece) + 160);
  char* h = line;
  if (several_) {
    h = Put(h, "{\"file\": \"");
    h = Put(h, name_);
    h = Put(h, "\", ");
  } else {
    *h++ = '{';
  }
  h = Put(h, "\"start\": ");
  // A sentence starts where the last one ended, mostly in its paragraph.
  h = Put(h, end_.Holds(sentence.start) ? end_.digits() : start_.Of(sentence.start));
  h = Put(h, ", \"end\": ");
  h = Put(h, end_.Of(sentence.end));
  h = Put(h, ", \"paragraph\": ");
  h = Put(h, paragraph_.Of(sentence.paragraph));
  h = Put(h, ", \"text\": \"");
  while (bytes.size() > kPiece) {
    // A piece ends before a byte that no UTF-8 sequence before it can
    // take: one that is not a continuation byte, or the fourth of them.
    std::size_t cut = kPiece;
    while (cut > kPiece - 3 && encoding == ptseg::Encoding::kUtf8 &&
           (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) {
      --cut;
    }
    if ((static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) cut = kPiece;
    h = ptseg::WriteJsonString(bytes.substr(0, cut), encoding, h);
    out_->Write(std::string_view(line, static_cast<std::size_t>(h - line)));
    h = line;
    bytes.remove_prefix(cut);
  }
  h = ptseg::WriteJsonString(bytes, encoding, h);
  h = Put(h, "\"}\n");
  out_->Write(std::string_view(line, static_cast<std::size_t>(h - line)));
  wrote_sentence_ = true;
}

void Splitter::WriteXml(const ptseg::Sentence& sentence, std::string_view utf8) {
  formatted_.clear();
  if (sentence.opens_paragraph) formatted_ += sentence.paragraph > 0 ? "</p><p>" : "<p>";
  formatted_ += "<s>";
  ptseg::AppendXmlEscaped(utf8, ptseg::XmlPlace::kText, &formatted_);
  formatted_ += "</s>";
  out_->Write(formatted_);
}

}  // namespace ptsplit
