// ptsplit's output formats, and the run of the segmenter over one input
// that writes them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

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
  void Flush();

 private:
  static constexpr std::size_t kCapacity = std::size_t{1} << 18;
  int fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;
};

// Writes the sentences of one input, or of several one after the other, to
// one output in one format.  With several inputs, jsonl objects name their
// file and the XML document has one <text file="NAME"> element per input
// inside a <corpus> root.
class Splitter {
 public:
  Splitter(Format format, const ptseg::Options& options, Output* out, bool several);

  // What comes before the first input and after the last: the XML
  // declaration and root element; nothing in the other formats.  Begin
  // starts a new output: one Splitter may write several in turn.
  void Begin();
  void End();

  // Reads `fd` to its end and writes its sentences; `name` is the input's
  // name as given.  Each input gets a fresh segmenter.  Every byte read is
  // added to *bytes_read (if given) as it comes.  With `flush_each_read`
  // everything written so far goes out before each read, so that a typed
  // line is answered as far as it is decided.  Returns 0, or the errno
  // value of a failed read: the output then covers the bytes read before
  // it, closed as at the end of an input.  Throws ptseg::Error,
  // std::bad_alloc and WriteError; the output then stops where it is.
  int Split(int fd, std::string_view name, std::atomic<std::uint64_t>* bytes_read,
            bool flush_each_read);

 private:
  void MakeRoom();
  void Found(const ptseg::Boundary& start);
  void WriteDecided(std::uint64_t end);
  void Write(const ptseg::Sentence& sentence);
  void BeginInput(std::string_view name);
  void EndInput(std::uint64_t size);
  void WriteLine(std::string_view utf8);
  void WriteJson(const ptseg::Sentence& sentence, std::string_view utf8);
  void WriteXml(const ptseg::Sentence& sentence, std::string_view utf8);
  std::string_view Bytes(std::uint64_t start, std::uint64_t end) const;

  const Format format_;
  const ptseg::Options options_;
  Output* const out_;
  const bool several_;

  // The input is read into buffer_, and kept from the first byte not yet
  // written on: a sentence is written once the next one starts, markup as
  // soon as it is decided.  buffer_[0] is at stream offset buffer_from_;
  // filled_ bytes are in it.
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t filled_ = 0;
  std::uint64_t buffer_from_ = 0;

  // The input under way: its sentences, its markup (in that format), how
  // far its bytes are written, and its name, for jsonl.
  ptseg::SentenceCollector sentences_;
  std::optional<ptseg::MarkupWriter> markup_;
  std::uint64_t written_ = 0;
  bool wrote_sentence_ = false;
  std::string name_;
  std::string text_;       // scratch: a sentence in UTF-8
  std::string formatted_;  // scratch: a sentence formatted
  std::unique_ptr<char[]> line_;  // scratch: a line of the lines format
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
