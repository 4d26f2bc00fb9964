// The public interface: the engine over the input itself (ISO-8859-1), or
// over its matching copy (UTF-8), with offsets and markup taken back to the
// input's own bytes.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "engine/engine.h"
#include "ptseg/ptseg.h"
#include "text/line_joiner.h"
#include "text/matching_copy.h"
#include "text/utf16.h"

namespace ptseg {

const char* Version() { return PTSEG_VERSION; }

class Segmenter::Impl final : public EngineListener {
 public:
  Impl(const Options& options, MarkupSink markup, BoundarySink boundaries)
      : encoding_(options.encoding),
        join_lines_(options.paragraphs == Paragraphs::kBlankLines),
        engine_reads_input_(encoding_ == Encoding::kLatin1 && !join_lines_),
        boundary_sink_(std::move(boundaries)),
        engine_(this) {
    if (markup) markup_.emplace(std::move(markup), encoding_);
    if (encoding_ == Encoding::kUtf16Le || encoding_ == Encoding::kUtf16Be) {
      utf16_.emplace(encoding_ == Encoding::kUtf16Be);
    }
  }

  // Runs `step`; a Segmenter that has thrown once is left unusable, since
  // part of what it was given may be lost.
  template <class Step>
  void Guarded(Step step) {
    if (failed_) throw std::logic_error("ptseg::Segmenter: used after an error");
    try {
      step();
    } catch (...) {
      failed_ = true;
      throw;
    }
  }

  void Feed(std::string_view bytes) {
    if (finished_) throw std::logic_error("ptseg::Segmenter: Feed after Finish");
    if (bytes.empty()) return;
    if (fed_ == 0) Found({0, true});
    fed_ += bytes.size();
    if (markup_ && !engine_reads_input_) held_.append(bytes);
    if (encoding_ == Encoding::kLatin1) {
      Push(bytes);
    } else if (!utf16_) {
      FeedUtf8(bytes);
    } else {
      for (std::size_t at = 0; at < bytes.size(); at += kSlice) {
        utf8_.clear();
        utf16_->Feed(bytes.substr(at, kSlice), &utf8_);
        FeedUtf8(utf8_);
      }
    }
  }

  void Finish() {
    if (finished_) return;
    finished_ = true;
    if (utf16_) {
      utf8_.clear();
      utf16_->Finish(&utf8_);
      FeedUtf8(utf8_);
    }
    if (encoding_ != Encoding::kLatin1) {
      matching_.clear();
      copy_.Finish(&matching_);
      Push(matching_);
    }
    if (join_lines_) {
      joined_.clear();
      joiner_.Finish(&joined_);
      PushToEngine(joined_);
    }
    Engined([&] { engine_.Finish(); });
    if (markup_) {
      if (!engine_reads_input_) WriteHeld(fed_);
      markup_->Close();
    }
  }

  std::vector<Boundary> TakeBoundaries() { return std::exchange(boundaries_, {}); }
  std::uint64_t size() const { return fed_; }
  bool finished() const { return finished_; }
  bool failed() const { return failed_; }
  std::uint64_t decided() const {
    return finished_ ? fed_ : Origin(matched_);
  }

 private:
  static constexpr std::size_t kSlice = 1 << 16;

  // UTF-8 goes to the engine as its matching copy, in slices, so that the
  // copy of a long text is never whole.
  void FeedUtf8(std::string_view utf8) {
    for (std::size_t at = 0; at < utf8.size(); at += kSlice) {
      matching_.clear();
      copy_.Feed(utf8.data() + at, std::min(kSlice, utf8.size() - at), &matching_);
      Push(matching_);
      // Nothing before the text handed back is asked of the copy again.
      copy_.Forget(matched_);
      if (utf16_) utf16_->Forget(copy_.Origin(matched_));
    }
  }

  // Runs a call into the engine, its failure made the public one.
  template <class Call>
  static auto Engined(Call call) -> decltype(call()) {
    try {
      return call();
    } catch (const engine::EngineError& error) {
      throw Error(error.what());
    }
  }

  // Feeds the engine the bytes it matches: the matching copy, its inner
  // line breaks made blanks for wrapped text.
  void Push(std::string_view bytes) {
    if (!join_lines_) {
      PushToEngine(bytes);
      return;
    }
    joined_.clear();
    joiner_.Feed(bytes, &joined_);
    PushToEngine(joined_);
  }

  void PushToEngine(std::string_view bytes) {
    while (!bytes.empty()) {
      std::size_t room = 0;
      char* space = Engined([&] { return engine_.Space(&room); });
      const std::size_t n = std::min(room, bytes.size());
      std::copy_n(bytes.data(), n, space);
      Engined([&] { engine_.Commit(n); });
      bytes.remove_prefix(n);
    }
  }

  // Where a byte of the matching copy came from in the input.
  std::uint64_t Origin(std::uint64_t matching_offset) const {
    if (encoding_ == Encoding::kLatin1) return matching_offset;
    const std::uint64_t utf8 = copy_.Origin(matching_offset);
    return utf16_ ? utf16_->Origin(utf8) : utf8;
  }

  // The engine's text is the matching copy: where that is the input
  // itself, the markup is written from it.
  void Text(const char* data, std::size_t size) override {
    matched_ += size;
    if (!markup_) return;
    if (engine_reads_input_) {
      markup_->Text(std::string_view(data, size));
    } else {
      WriteHeld(Origin(matched_));
    }
  }

  void Break(std::uint64_t at, bool paragraph) override {
    const std::uint64_t offset = Origin(at);
    if (markup_ && !engine_reads_input_) WriteHeld(offset);
    Found({offset, paragraph});
  }

  void Found(const Boundary& boundary) {
    if (markup_) markup_->Start(boundary);
    if (boundary_sink_) {
      boundary_sink_(boundary);
    } else {
      boundaries_.push_back(boundary);
    }
  }

  // Writes the input bytes held for the markup, up to stream offset `end`.
  void WriteHeld(std::uint64_t end) {
    if (end <= held_from_) return;
    const auto n = static_cast<std::size_t>(end - held_from_);
    markup_->Text(std::string_view(held_.data() + held_start_, n));
    held_start_ += n;
    held_from_ = end;
    // Drop what was written once it outweighs what is left.
    if (held_start_ > kSlice && held_start_ > held_.size() / 2) {
      held_.erase(0, held_start_);
      held_start_ = 0;
    }
  }

  const Encoding encoding_;
  const bool join_lines_;
  // Whether the engine matches the input bytes themselves.
  const bool engine_reads_input_;
  std::optional<MarkupWriter> markup_;
  const BoundarySink boundary_sink_;
  Engine engine_;
  MatchingCopy copy_;
  // UTF-16: its UTF-8 form is what the matching copy is made of.
  mutable std::optional<Utf16Decoder> utf16_;
  std::string utf8_;  // scratch: the UTF-8 of a slice
  std::string matching_;            // scratch: the matching copy of a slice
  LineJoiner joiner_;
  std::string joined_;              // scratch: what the joiner gives
  std::uint64_t matched_ = 0;       // matching bytes the engine handed back
  std::uint64_t fed_ = 0;
  bool finished_ = false;
  bool failed_ = false;
  std::vector<Boundary> boundaries_;
  // Markup of a matching copy: the input bytes not yet written, stream offsets
  // held_from_ on, from held_[held_start_] on.
  std::string held_;
  std::size_t held_start_ = 0;
  std::uint64_t held_from_ = 0;
};

Segmenter::Segmenter(const Options& options) : Segmenter(options, nullptr, nullptr) {}
Segmenter::Segmenter(const Options& options, MarkupSink markup)
    : Segmenter(options, std::move(markup), nullptr) {}
Segmenter::Segmenter(const Options& options, MarkupSink markup, BoundarySink boundaries)
    : impl_(std::make_unique<Impl>(options, std::move(markup), std::move(boundaries))) {}
Segmenter::~Segmenter() = default;
Segmenter::Segmenter(Segmenter&&) noexcept = default;
Segmenter& Segmenter::operator=(Segmenter&&) noexcept = default;

void Segmenter::Feed(std::string_view bytes) {
  impl_->Guarded([&] { impl_->Feed(bytes); });
}
void Segmenter::Finish() {
  impl_->Guarded([&] { impl_->Finish(); });
}
std::vector<Boundary> Segmenter::TakeBoundaries() { return impl_->TakeBoundaries(); }
std::uint64_t Segmenter::size() const { return impl_->size(); }
bool Segmenter::finished() const { return impl_->finished(); }
bool Segmenter::failed() const { return impl_->failed(); }
std::uint64_t Segmenter::decided() const { return impl_->decided(); }

std::vector<Boundary> Boundaries(std::string_view text, const Options& options) {
  Segmenter segmenter(options);
  segmenter.Feed(text);
  segmenter.Finish();
  return segmenter.TakeBoundaries();
}

std::vector<Sentence> SentenceSpans(std::string_view text, const Options& options) {
  std::vector<Sentence> sentences;
  SentenceCollector collector;
  Sentence sentence;
  Segmenter segmenter(options, nullptr, [&](const Boundary& start) {
    if (collector.Add(start, &sentence)) sentences.push_back(sentence);
  });
  segmenter.Feed(text);
  segmenter.Finish();
  if (collector.End(text.size(), &sentence)) sentences.push_back(sentence);
  return sentences;
}

std::vector<std::string_view> Sentences(std::string_view text, const Options& options) {
  std::vector<std::string_view> sentences;
  for (const Sentence& s : SentenceSpans(text, options)) {
    sentences.push_back(text.substr(s.start, s.end - s.start));
  }
  return sentences;
}

std::string Markup(std::string_view text, const Options& options) {
  std::string out;
  out.reserve(text.size() + text.size() / 8 + 16);
  Segmenter segmenter(options, [&out](std::string_view piece) { out.append(piece); });
  segmenter.Feed(text);
  segmenter.Finish();
  return out;
}

}  // namespace ptseg
