// ptseg: sentence and paragraph boundaries in Portuguese text.
//
// The segmenter finds where sentences and paragraphs start and never
// changes the text: offsets point into the bytes given, and the marked-up
// text is those bytes with "<p><s>", "</s><s>", "</s></p><p><s>" and
// "</s></p>" inserted.  Results never depend on how the input is cut into
// pieces.  Objects share no state: separate Segmenters may run on
// separate threads.
//
//   for (std::string_view s : ptseg::Sentences(text)) ...
//
//   ptseg::Segmenter segmenter;                 // UTF-8
//   while (read(chunk)) {
//     segmenter.Feed(chunk);
//     for (const ptseg::Boundary& b : segmenter.TakeBoundaries()) ...
//   }
//   segmenter.Finish();
//   for (const ptseg::Boundary& b : segmenter.TakeBoundaries()) ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ptseg/encoding.h"
#include "ptseg/markup.h"
#include "ptseg/sentence.h"
#include "ptseg/text.h"
#include "ptseg/version.h"

namespace ptseg {

// Where paragraphs start.
enum class Paragraphs {
  // At every line break before the start of a sentence (the rules' own
  // reading, for text with a line per paragraph).
  kLines,
  // For hard-wrapped text: a single line break inside a paragraph reads
  // as a blank, and a paragraph starts only after a blank line or at a
  // line that starts with a blank.  The bytes are kept all the same.
  kBlankLines,
};

// How a Segmenter reads its input.  An Encoding alone stands for the
// options with that encoding.
struct Options {
  Options(Encoding how = Encoding::kUtf8, Paragraphs where = Paragraphs::kLines)
      : encoding(how), paragraphs(where) {}
  Encoding encoding;
  Paragraphs paragraphs;
  // Threads that segment one stream, in pieces of chunk_size bytes (0:
  // 256 KiB) scanned at once and joined where the scans meet.  The results
  // are those of one thread, whatever the input; memory holds up to
  // about 4 pieces per thread.  0 is one per core.  UTF-16 always takes
  // one.
  unsigned threads = 1;
  std::size_t chunk_size = 0;
};

// A failure of the segmenter on its input: one look-ahead needs more than
// 256 MiB of text.  Out of memory is std::bad_alloc.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The library's version, "MAJOR.MINOR.PATCH": PTSEG_VERSION as it was
// when the library was built.
const char* Version();

// Segments a stream fed in pieces of any size.
class Segmenter {
 public:
  // Receives the marked-up text, piece by piece, as it is decided: with a
  // BoundarySink, each start when the markup up to it has been written;
  // without one, in larger pieces, all a Feed decided before it returns.
  using MarkupSink = std::function<void(std::string_view)>;
  // Receives each sentence start as it is decided.
  using BoundarySink = std::function<void(const Boundary&)>;
  // A sink may ask its Segmenter for size() and decided(); its Feed,
  // Flush and Finish throw std::logic_error there.

  explicit Segmenter(const Options& options = Options());
  // Also writes the marked-up text to `markup`, which gets the opening
  // markup before the constructor returns (so the constructor throws what
  // it throws).
  Segmenter(const Options& options, MarkupSink markup);
  // Writes the marked-up text to `markup` (if not empty) and hands each
  // sentence start to `boundaries` instead of keeping it for
  // TakeBoundaries: memory then stays bounded however much one piece
  // decides.  An empty `boundaries` drops the starts, for the markup
  // alone.
  Segmenter(const Options& options, MarkupSink markup, BoundarySink boundaries);
  ~Segmenter();
  Segmenter(Segmenter&&) noexcept;
  Segmenter& operator=(Segmenter&&) noexcept;

  // Segments the next bytes of the input, as far as they decide.  Throws
  // Error or std::bad_alloc (or what a sink throws); the Segmenter is then
  // unusable, and Feed, Flush and Finish throw std::logic_error.  A moved-from
  // Segmenter may only be assigned to or destroyed.
  void Feed(std::string_view bytes);
  // For a caller that reads the input itself: room for its next bytes,
  // *room of them (at least 1 and at most `size`, for a size of 1 or more),
  // to read into and then segment with Commit, as Feed would segment
  // them.  With threads, the bytes are read into the piece to be scanned,
  // which saves Feed's copy of each.  The room lasts until the next call;
  // Commit takes at most *room bytes, and may take none.  Both throw as
  // Feed does, and Commit throws std::logic_error for more bytes than the
  // room the call before it gave (none unless that call was Space).
  char* Space(std::size_t size, std::size_t* room);
  void Commit(std::size_t size);
  // Decides at once what the bytes fed so far decide, as one thread does
  // in Feed (with threads, Feed scans a piece only once it is whole), and
  // hands it over.  Call it for input that comes slowly (a terminal, a
  // pipe written now and then) before a read that would wait; called
  // often, it costs the threads' gain.  Nothing to do on one thread or
  // after Finish; throws as Feed does.
  void Flush();
  // The input ends: decides the rest.  Nothing may be fed after it.
  void Finish();

  // The sentence starts decided since the last call, in input order.
  // They are kept until taken: take them as you feed.
  std::vector<Boundary> TakeBoundaries();

  // Bytes fed so far.
  std::uint64_t size() const;
  // Whether Finish has run, and whether a call has thrown.
  bool finished() const;
  bool failed() const;
  // How far the input is decided: every sentence start before this offset
  // has been reported, and none will be.  A caller that holds the input to
  // cut it may let go of the bytes before the last start it has and this.
  std::uint64_t decided() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Whole-text calls.  Each throws Error or std::bad_alloc, as Feed does.
std::vector<Boundary> Boundaries(std::string_view text, const Options& options = Options());
// The sentences, whitespace kept: together they are the text.
std::vector<std::string_view> Sentences(std::string_view text, const Options& options = Options());
// The sentences as offsets, with their paragraph numbers.
std::vector<Sentence> SentenceSpans(std::string_view text, const Options& options = Options());
// The text with its markup.
std::string Markup(std::string_view text, const Options& options = Options());

}  // namespace ptseg
