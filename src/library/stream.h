// How the library segments one stream: the engine over the input itself
// (ISO-8859-1), or over its matching copy (UTF-8, UTF-16), with offsets and
// markup taken back to the input's own bytes.  Segmenter runs one Stream,
// or several on separate threads (parallel.h).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "ptseg/ptseg.h"
#include "text/line_joiner.h"
#include "text/matching_copy.h"
#include "text/utf16.h"

namespace ptseg {
namespace library {

// Where nobody watches the starts as the markup is written, the markup
// goes to the caller's sink in pieces of up to this many bytes, and
// whatever a Feed decided before it returns.
inline constexpr std::size_t kMarkupGather = std::size_t{1} << 16;

// Appends a start (not one of the list's own) to a list, field by field:
// a sink gets each start just after its two fields were stored one by
// one, and a copy of the whole struct would load both at once, which
// waits until those stores are done, on every sentence.
inline void Keep(std::vector<Boundary>* starts, const Boundary& start) {
  Boundary& kept = starts->emplace_back();
  kept.offset = start.offset;
  kept.paragraph = start.paragraph;
}

// Runs `step` (a Feed or a Finish), then hands the markup gathered to the
// sink, even when the step fails: what was decided before stays written.
template <class Step>
void ThenFlush(std::optional<MarkupWriter>& markup, Step step) {
  try {
    step();
  } catch (...) {
    if (markup) markup->Flush();
    throw;
  }
  if (markup) markup->Flush();
}

// Where the closing markup of a stream of `size` bytes goes: at its end,
// but in UTF-16 before a last lone byte, which is no code unit, so that
// the markup stays in step with the input's own units; the byte follows.
inline std::uint64_t CloseAt(Encoding encoding, std::uint64_t size) {
  const bool utf16 = encoding == Encoding::kUtf16Le || encoding == Encoding::kUtf16Be;
  return utf16 ? size - size % 2 : size;
}

// What Segmenter asks of a way to segment a stream.
class Segmentation {
 public:
  virtual ~Segmentation() = default;
  virtual void Feed(std::string_view bytes) = 0;
  // Room for the next bytes, *room of them (at least 1 and at most `size`,
  // for a size of 1 or more), to be written in place and fed with Commit:
  // by default a scratch buffer, whose bytes Feed copies where it keeps
  // them.
  virtual char* Space(std::size_t size, std::size_t* room) {
    scratch_.resize(size);
    *room = size;
    return scratch_.data();
  }
  virtual void Commit(std::size_t size) { Feed(std::string_view(scratch_.data(), size)); }
  // Decides now what the bytes fed decide (Feed does on one thread).
  virtual void Flush() {}
  // The starts go to the end of *kept from now on, not to the sink: a list
  // filled with no call through a sink for each.
  virtual void KeepStarts(std::vector<Boundary>* kept) = 0;
  virtual void Finish() = 0;
  // Every sentence start before this stream offset has been reported.
  virtual std::uint64_t decided() const = 0;

 private:
  ByteBuffer scratch_;
};

// One stream segmented on the calling thread.
class Stream final : public Segmentation, private EngineListener {
 public:
  using BoundarySink = std::function<void(const Boundary&)>;

  // A stream from the start of a text, or one taken up at offset `base` of
  // a text (reported offsets count from the text's start) after a byte
  // that ends a line or not.  A stream taken up reports no start at
  // `base`, and writes no markup.  The markup is gathered in pieces of
  // up to `gather` bytes (0: written as it comes); the starts go to
  // `boundaries`, if not empty.
  Stream(const Options& options, Segmenter::MarkupSink markup, std::size_t gather,
         BoundarySink boundaries, std::uint64_t base = 0, bool at_line_start = true);

  void Feed(std::string_view bytes) override;
  void Finish() override;
  std::uint64_t decided() const override;

  void KeepStarts(std::vector<Boundary>* kept) override { kept_ = kept; }

  // Starts over as a stream taken up at `base`, as a new one would with
  // the same options, but with the memory this one holds, its starts kept
  // in *kept.  Only for a stream that writes no markup.
  void Restart(std::vector<Boundary>* kept, std::uint64_t base, bool at_line_start);

  // Whether every byte fed has been read and the scan rests at a match
  // start in running text, nothing held back but perhaps a last ASCII
  // character that the bytes to come decide alone: -1 if not, else a
  // state that two streams resting at the same offset of the same text
  // share exactly when they go on alike.
  int Resting() const;

 private:
  static constexpr std::size_t kSlice = 1 << 16;

  void FeedBytes(std::string_view bytes);
  void FinishBytes();
  void FeedUtf8(std::string_view utf8);
  void Push(std::string_view bytes);
  void PushToEngine(std::string_view bytes);
  std::uint64_t Origin(std::uint64_t matching_offset) const;
  void Decided(const char* data, std::size_t size, const EngineBreak* breaks,
               std::size_t count) override;
  // A start, to the markup and the list or the sink: on the path of every
  // sentence.
  void Found(const Boundary& boundary) {
    if (markup_) markup_->Start(boundary);
    if (kept_ != nullptr) {
      Keep(kept_, boundary);
    } else if (boundary_sink_) {
      boundary_sink_(boundary);
    }
  }
  void WriteHeld(std::uint64_t end);

  const Encoding encoding_;
  const bool join_lines_;
  // Whether the engine matches the input bytes themselves.
  const bool engine_reads_input_;
  std::uint64_t base_;
  std::optional<MarkupWriter> markup_;
  BoundarySink boundary_sink_;
  std::vector<Boundary>* kept_ = nullptr;
  Engine engine_;
  MatchingCopy copy_;
  // UTF-16: its UTF-8 form is what the matching copy is made of.
  mutable std::optional<Utf16Decoder> utf16_;
  std::string utf8_;     // scratch: the UTF-8 of a slice
  ByteBuffer matching_;  // scratch: the matching copy of a slice
  LineJoiner joiner_;
  std::string joined_;         // scratch: what the joiner gives
  std::uint64_t matched_ = 0;  // matching bytes the engine handed back
  std::uint64_t fed_ = 0;
  bool finished_ = false;
  bool ended_ = false;  // Finish has returned: every byte is decided
  // Markup of a matching copy: the input bytes not yet written, stream
  // offsets held_from_ on, from held_[held_start_] on up to feeding_from_,
  // and from there on in feeding_, the bytes of the Feed under way.
  std::string held_;
  std::size_t held_start_ = 0;
  std::uint64_t held_from_ = 0;
  std::string_view feeding_;
  std::uint64_t feeding_from_ = 0;
};

}  // namespace library
}  // namespace ptseg
