#include "cli/formats.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

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

// With threads, the text fed so far is decided at once (as one thread
// decides it) before a read that would wait when no input comes within
// kSlowInputMs, or when it was last done kStale ago: so a typed line or
// a slow pipe is answered at once, and a pipe written often within that
// time at least that often.
constexpr int kSlowInputMs = 20;
constexpr auto kStale = std::chrono::milliseconds(100);

// Whether `fd` has input, or its end, within `milliseconds`.
bool ReadableWithin(int fd, int milliseconds) {
  pollfd wanted{fd, POLLIN, 0};
  for (;;) {
    const int n = poll(&wanted, 1, milliseconds);
    if (n >= 0 || errno != EINTR) return n != 0;  // on an error, the read tells
  }
}

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

// Writes `text` at o; returns the end.
char* Put(char* o, std::string_view text) {
  std::memcpy(o, text.data(), text.size());
  return o + text.size();
}

// A long sentence is formatted and written in pieces of about this size,
// so that no buffer holds it formatted whole, at several times its size.
constexpr std::size_t kPiece = std::size_t{1} << 16;

// The end of the first piece of `bytes`: all of them up to kPiece bytes,
// else kPiece bytes, or less before a byte that a UTF-8 sequence before
// it could take (a continuation byte, up to the fourth), so that a piece
// ends between characters.
std::size_t PieceEnd(std::string_view bytes, ptseg::Encoding encoding) {
  if (bytes.size() <= kPiece) return bytes.size();
  const auto follows = [&](std::size_t at) {
    return (static_cast<unsigned char>(bytes[at]) & 0xC0) == 0x80;
  };
  std::size_t cut = kPiece;
  while (cut > kPiece - 3 && encoding == ptseg::Encoding::kUtf8 && follows(cut)) --cut;
  return follows(cut) ? kPiece : cut;
}

// The end of the first piece of a long sentence's line: inside a word,
// between two ASCII bytes that are not whitespace, from kPiece bytes on
// (so that a piece neither ends nor starts a character or a run of
// whitespace, and the pieces' lines joined are the sentence's line); all
// of `bytes` where no such place comes.
std::size_t LinePieceEnd(std::string_view bytes) {
  const auto word = [&](std::size_t at) {
    const auto c = static_cast<unsigned char>(bytes[at]);
    return c < 0x80 && c != ' ' && (c < '\t' || c > '\r');
  };
  for (std::size_t cut = kPiece; cut < bytes.size(); ++cut) {
    if (word(cut - 1) && word(cut)) return cut;
  }
  return bytes.size();
}

// Whether `fd` is a regular file, whose reads never wait.
bool IsRegularFile(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// The progress of one input: the bytes read from its descriptor, or for
// compressed input, as far as the file's offset has come (where it has
// one), since its size is what the progress is measured against.
class ReadCount {
 public:
  ReadCount(int fd, std::atomic<std::uint64_t>* total)
      : fd_(fd), total_(total), counted_(lseek(fd, 0, SEEK_CUR)) {}

  // A read gave `n` bytes of text.
  void Add(const ptseg::Input& input, std::size_t n) {
    if (total_ == nullptr) return;
    const off_t at = input.compression() != ptseg::Compression::kNone && counted_ >= 0
                         ? lseek(fd_, 0, SEEK_CUR)
                         : -1;
    if (at < 0) {
      *total_ += n;
    } else if (at > counted_) {
      *total_ += static_cast<std::uint64_t>(at - counted_);
      counted_ = at;
    }
  }

 private:
  const int fd_;
  std::atomic<std::uint64_t>* const total_;
  off_t counted_;
};

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

char* Output::Room(std::size_t size) {
  if (size > kCapacity - size_) {
    Flush();
    if (size > kCapacity) return nullptr;
  }
  return buffer_.get() + size_;
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
  // Whether the last read drained what the input had (a decompressor may
  // hold more text than the descriptor shows), and when threads last
  // decided what was fed.
  bool drained = false;
  auto decided_at = std::chrono::steady_clock::now();
  ReadCount count(fd, bytes_read);
  // Before a read that may wait, the output goes out; with threads the
  // text fed, which waits for a whole chunk, is decided (see kStale) unless
  // it may be all the input had.
  const auto before_wait = [&](bool input_drained) {
    if (segmenter && options_.threads != 1 && input_drained) {
      const auto now = std::chrono::steady_clock::now();
      if (now - decided_at >= kStale || !ReadableWithin(fd, kSlowInputMs)) {
        segmenter->Flush();
        decided_at = now;
      }
    }
    out_->Flush();
  };
  // What the descriptor holds tells nothing of compressed input, whose
  // bytes (a member's trailer, padding) may decode to no text: Input tells
  // when a read would wait with nothing decoded.
  if (flush_each_read) input.set_before_wait([&] { before_wait(true); });
  // With threads, the markup reads the input straight into the piece the
  // segmenter scans next (its Space), as it keeps what it needs of the
  // input itself; but only where no read waits, since deciding what was
  // fed before a wait (before_wait) hands that piece on.
  const bool reads_in_place = format_ == Format::kMarkup && options_.threads != 1 &&
                              (!flush_each_read || IsRegularFile(fd));
  for (;;) {
    if (flush_each_read && !ptseg::HasAtHand(fd, kInputPiece)) before_wait(drained);
    // The first read comes here all the same: it tells the encoding.
    const bool in_place = reads_in_place && segmenter;
    std::size_t room = kInputPiece;
    char* to = nullptr;
    if (in_place) {
      to = segmenter->Space(kInputPiece, &room);
    } else {
      MakeRoom();
      to = data_ + filled_;
    }
    std::size_t n = 0;
    try {
      n = input.Read(to, room);
    } catch (const ptseg::InputError& e) {
      error = e.reason();
    }
    if (!segmenter) segmenter.emplace(NewSegmenter(Start(input, std::string_view(to, n))));
    if (n == 0) break;
    drained = n < room;
    const std::string_view bytes(to, n);
    count.Add(input, n);
    if (in_place) {
      segmenter->Commit(n);
      continue;
    }
    filled_ += n;
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

ptseg::Segmenter Splitter::NewSegmenter(const ptseg::Options& options) {
  if (format_ == Format::kMarkup) {
    // The library writes the markup as soon as it is decided, so that a
    // text without sentence ends never piles up here.
    return ptseg::Segmenter(
        options, [this](std::string_view piece) { out_->Write(piece); }, nullptr);
  }
  return ptseg::Segmenter(options, nullptr, [this](const ptseg::Boundary& start) { Found(start); });
}

// How the input is read, now that its first bytes (`first`, what the
// first read gave) show what it holds: a UTF-16 byte-order mark makes
// UTF-8 input UTF-16, and input that looks binary is segmented all the
// same, with a warning.
ptseg::Options Splitter::Start(const ptseg::Input& input, std::string_view first) {
  ptseg::Options options = options_;
  options.encoding = ptseg::EncodingOfText(options.encoding, first);
  // UTF-16 text is full of NUL bytes.
  const bool utf16 = options.encoding == ptseg::Encoding::kUtf16Le ||
                     options.encoding == ptseg::Encoding::kUtf16Be;
  if (input.looks_binary() && !utf16) {
    out_->Flush();  // the warning follows the output before it
    warn_(input.name(), "warning: NUL bytes at the start: not text?");
  }
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
  // An input that failed (out of memory, a look-ahead too long) left its
  // last sentence open: it must not end at this input's first start.
  sentences_ = ptseg::SentenceCollector();
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
  std::string_view bytes = Bytes(sentence.start, sentence.end);
  ptseg::Encoding encoding = encoding_;
  // The formats decode UTF-8 and ISO-8859-1 as they write them.
  if (encoding == ptseg::Encoding::kUtf16Le || encoding == ptseg::Encoding::kUtf16Be) {
    // Boundaries fall on character starts, so the sentences decoded one
    // by one are the input decoded.
    bytes = ptseg::AsUtf8(bytes, encoding, &text_);
    encoding = ptseg::Encoding::kUtf8;
  }
  if (format_ == Format::kLines) {
    if (sentence.opens_paragraph) blank_line_due_ = wrote_line_;
    WriteLine(bytes, encoding);
  } else if (format_ == Format::kJsonl) {
    WriteJson(sentence, bytes, encoding);
  } else {
    WriteXml(sentence, bytes, encoding);
  }
  wrote_sentence_ = true;
}

void Splitter::WriteLine(std::string_view bytes, ptseg::Encoding encoding) {
  for (bool begun = false;;) {
    const std::size_t cut = LinePieceEnd(bytes);
    const bool last = cut == bytes.size();
    // Made in the output's buffer where it fits: the empty line due, the
    // line or its piece, the line feed.
    const std::size_t most = 3 * cut + 18;
    char* const room = out_->Room(most);
    char* const line = room != nullptr ? room : LineBuffer(most);
    const bool blank_line = blank_line_due_ && !begun;
    char* const text = line + (blank_line ? 1 : 0);
    char* end = ptseg::WriteOneLine(bytes.substr(0, cut), encoding, text);
    // A sentence of whitespace only (a piece never is one).
    if (end == text && !begun) return;
    if (blank_line) line[0] = '\n';
    blank_line_due_ = false;
    begun = true;
    if (last) *end++ = '\n';
    const auto size = static_cast<std::size_t>(end - line);
    if (room != nullptr) {
      out_->Wrote(size);
    } else {
      out_->Write(std::string_view(line, size));
    }
    if (last) break;
    bytes.remove_prefix(cut);
  }
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
  // Besides the name and the text, the line holds 70 bytes and three
  // numbers of at most 20 digits.  A sentence in one piece is made in the
  // output's buffer where it fits.
  const std::size_t most = name_.size() + 6 * std::min(bytes.size(), kPiece) + 160;
  char* const room = bytes.size() <= kPiece ? out_->Room(most) : nullptr;
  char* const line = room != nullptr ? room : LineBuffer(most);
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
  h = (end_.Holds(sentence.start) ? end_ : start_.Of(sentence.start)).Put(h);
  h = Put(h, ", \"end\": ");
  h = end_.Of(sentence.end).Put(h);
  h = Put(h, ", \"paragraph\": ");
  h = paragraph_.Of(sentence.paragraph).Put(h);
  h = Put(h, ", \"text\": \"");
  while (bytes.size() > kPiece) {
    const std::size_t cut = PieceEnd(bytes, encoding);
    h = ptseg::WriteJsonString(bytes.substr(0, cut), encoding, h);
    out_->Write(std::string_view(line, static_cast<std::size_t>(h - line)));
    h = line;
    bytes.remove_prefix(cut);
  }
  h = ptseg::WriteJsonString(bytes, encoding, h);
  h = Put(h, "\"}\n");
  const auto size = static_cast<std::size_t>(h - line);
  if (room != nullptr) {
    out_->Wrote(size);
  } else {
    out_->Write(std::string_view(line, size));
  }
  wrote_sentence_ = true;
}

void Splitter::WriteXml(const ptseg::Sentence& sentence, std::string_view bytes,
                        ptseg::Encoding encoding) {
  formatted_.clear();
  if (sentence.opens_paragraph) formatted_ += sentence.paragraph > 0 ? "</p><p>" : "<p>";
  formatted_ += "<s>";
  for (;;) {
    const std::size_t cut = PieceEnd(bytes, encoding);
    ptseg::AppendXmlEscaped(ptseg::AsUtf8(bytes.substr(0, cut), encoding, &piece_),
                            ptseg::XmlPlace::kText, &formatted_);
    bytes.remove_prefix(cut);
    if (bytes.empty()) break;
    out_->Write(formatted_);
    formatted_.clear();
  }
  formatted_ += "</s>";
  out_->Write(formatted_);
}

}  // namespace ptsplit
