// ptsplit's output formats, and the run of the segmenter over one input
// that writes them.
#pragma once

#include <atomic>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ptseg/input.h"
#include "ptseg/ptseg.h"

namespace ptsplit {

enum class Format { kMarkup, kLines, kJsonl, kXml };

// A failed write; `error` is the errno value.
struct WriteError {
  int error;
};

// A file descriptor written in large pieces: output comes a sentence or a
// piece of markup at a time, and one write call per piece would cost more
// than the segmenting.
class Output {
 public:
  explicit Output(int fd);
  // Writes to another file descriptor from now on; what was not flushed
  // is dropped.
  void Reopen(int fd) {
    fd_ = fd;
    size_ = 0;
  }
  // Throws WriteError.
  void Write(std::string_view bytes);
  // Room for `size` bytes to be written in place, then handed over with
  // Wrote; nullptr when `size` is more than the buffer holds.  Throws
  // WriteError.
  char* Room(std::size_t size);
  void Wrote(std::size_t size) { size_ += size; }
  void Flush();

 private:
  static constexpr std::size_t kCapacity = std::size_t{1} << 18;
  int fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;
};

// The decimal digits of a number, made again only when it changes.
class Digits {
 public:
  bool Holds(std::uint64_t value) const { return size_ != 0 && value == value_; }
  Digits& Of(std::uint64_t value) {
    if (!Holds(value)) {
      value_ = value;
      size_ = static_cast<std::size_t>(std::to_chars(digits_, digits_ + sizeof digits_, value).ptr -
                                       digits_);
      fresh_ = true;
    }
    return *this;
  }
  // Writes the digits at o, which has room for 20 bytes; returns their end.
  // Digits made earlier go in one copy of a size known in advance, which
  // costs less; digits just made go byte by byte, since a wide load of
  // bytes just stored one or two at a time waits until those stores are
  // done.
  char* Put(char* o) {
    if (fresh_) {
      fresh_ = false;
      for (std::size_t i = 0; i < size_; ++i) o[i] = digits_[i];
    } else {
      std::memcpy(o, digits_, sizeof digits_);
    }
    return o + size_;
  }

 private:
  std::uint64_t value_ = 0;
  char digits_[20] = {};
  std::size_t size_ = 0;
  bool fresh_ = false;
};

// Writes the sentences of one input, or of several one after the other, to
// one output in one format.  With several inputs, jsonl objects name their
// file and the XML document has one <text file="NAME"> element per input
// inside a <corpus> root.
class Splitter {
 public:
  Splitter(Format format, const ptseg::Options& options, Output* out, bool several);

  // Receives warnings on an input that is still split: its name and what
  // is odd about it.  By default they go to standard error.
  using Warn = std::function<void(const std::string& name, const std::string& warning)>;
  void set_warn(Warn warn) { warn_ = std::move(warn); }

  // What comes before the first input and after the last: the XML
  // declaration and root element; nothing in the other formats.  Begin
  // starts a new output: one Splitter may write several in turn.
  void Begin();
  void End();

  // Reads `fd` to its end, decompressing it if it is compressed, and
  // writes its sentences; `name` is the input's
  // name as given.  Each input gets a fresh segmenter.  Every byte read is
  // added to *bytes_read (if given) as it comes: of compressed input, the
  // compressed bytes, where `fd` has an offset that tells them.  With `flush_each_read`
  // everything written so far goes out before each read that may wait, so
  // that a typed line is answered as far as it is decided and a pipe's
  // text comes out as the pipe gives it; a file is read on, and written
  // in large pieces.  Returns "", or why the
  // input could not be read on (a read error, corrupt or truncated
  // compressed data): the output then covers the bytes read before it,
  // closed as at the end of an input.  Throws ptseg::Error,
  // std::bad_alloc and WriteError; the output then stops where it is.
  std::string Split(int fd, std::string_view name, std::atomic<std::uint64_t>* bytes_read,
                    bool flush_each_read);

 private:
  ptseg::Options Start(const ptseg::Input& input, std::string_view first);
  // The segmenter of one input, read with `options`, for this format.
  ptseg::Segmenter NewSegmenter(const ptseg::Options& options);
  char* Base() const;
  void MakeRoom();
  void Found(const ptseg::Boundary& start);
  void Write(const ptseg::Sentence& sentence);
  void BeginInput(std::string_view name);
  void EndInput(std::uint64_t size);
  // In UTF-8 or ISO-8859-1.
  void WriteLine(std::string_view bytes, ptseg::Encoding encoding);
  // In UTF-8 or ISO-8859-1.
  void WriteJson(const ptseg::Sentence& sentence, std::string_view bytes, ptseg::Encoding encoding);
  char* LineBuffer(std::size_t size);
  // In UTF-8 or ISO-8859-1.
  void WriteXml(const ptseg::Sentence& sentence, std::string_view bytes, ptseg::Encoding encoding);
  std::string_view Bytes(std::uint64_t start, std::uint64_t end) const;

  const Format format_;
  const ptseg::Options options_;
  ptseg::Encoding encoding_;  // of the input under way
  Output* const out_;
  const bool several_;
  Warn warn_;

  // The input is read into buffer_, and kept from the first byte not yet
  // written on: a sentence is written once the next one starts (markup
  // keeps nothing here).  The bytes kept start at data_, at stream offset
  // buffer_from_; filled_ bytes are there, in capacity_ bytes from the
  // first 64-byte boundary of buffer_ (see MakeRoom).
  std::unique_ptr<char[]> buffer_;
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t filled_ = 0;
  std::uint64_t buffer_from_ = 0;

  // The input under way: its sentences (markup is the library's), how far
  // its bytes are written, and its name, for jsonl.
  ptseg::SentenceCollector sentences_;
  std::uint64_t written_ = 0;
  bool wrote_sentence_ = false;
  std::string name_;
  std::string text_;                // scratch: a sentence in UTF-8
  std::string piece_;               // scratch: a piece of one in UTF-8, for xml
  std::string formatted_;           // scratch: a sentence formatted
  Digits start_, end_, paragraph_;  // jsonl: the numbers last written
  std::unique_ptr<char[]> line_;    // scratch: a line of lines or jsonl
  std::size_t line_capacity_ = 0;

  // The lines format, over every input written to the output: an empty
  // line goes before the next line when a paragraph started after the last
  // line written.
  bool wrote_line_ = false;
  bool blank_line_due_ = false;
  // Whether an input was begun since Begin: a document needs its root.
  bool began_input_ = false;
};

}  // namespace ptsplit
