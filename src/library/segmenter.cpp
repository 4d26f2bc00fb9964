// The public interface: the engine over the input itself (ISO-8859-1), or
// over its matching copy (UTF-8), with offsets and markup taken back to the
// input's own bytes.
#include <algorithm>
#include <string>
#include <utility>

#include "engine/engine.h"
#include "engine/markup.h"
#include "ptseg/ptseg.h"
#include "text/matching_copy.h"

namespace ptseg {

const char* Version() { return PTSEG_VERSION; }

class Segmenter::Impl final : public EngineListener {
 public:
  Impl(Encoding encoding, MarkupSink markup, BoundarySink boundaries)
      : encoding_(encoding),
        markup_(std::move(markup)),
        boundary_sink_(std::move(boundaries)),
        engine_(this) {
    if (markup_) markup_(kOpen);
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
    if (encoding_ == Encoding::kLatin1) {
      Push(bytes);
      return;
    }
    if (markup_) held_.append(bytes);
    // In slices, so that the matching copy of a long text is never whole.
    for (std::size_t at = 0; at < bytes.size(); at += kSlice) {
      matching_.clear();
      copy_.Feed(bytes.data() + at, std::min(kSlice, bytes.size() - at), &matching_);
      Push(matching_);
      // Nothing before the text handed back is asked of the copy again.
      copy_.Forget(matched_);
    }
  }

  void Finish() {
    if (finished_) return;
    finished_ = true;
    if (encoding_ == Encoding::kUtf8) {
      matching_.clear();
      copy_.Finish(&matching_);
      Push(matching_);
    }
    Engined([&] { engine_.Finish(); });
    if (markup_) {
      if (encoding_ == Encoding::kUtf8) WriteHeld(fed_);
      markup_(kClose);
    }
  }

  std::vector<Boundary> TakeBoundaries() { return std::exchange(boundaries_, {}); }
  std::uint64_t size() const { return fed_; }
  std::uint64_t decided() const {
    if (finished_) return fed_;
    return encoding_ == Encoding::kLatin1 ? matched_ : copy_.Origin(matched_);
  }

 private:
  static constexpr std::size_t kSlice = 1 << 16;

  // Runs a call into the engine, its failure made the public one.
  template <class Call>
  static auto Engined(Call call) -> decltype(call()) {
    try {
      return call();
    } catch (const engine::EngineError& error) {
      throw Error(error.what());
    }
  }

  // Feeds the engine the bytes it matches.
  void Push(std::string_view bytes) {
    while (!bytes.empty()) {
      std::size_t room = 0;
      char* space = Engined([&] { return engine_.Space(&room); });
      const std::size_t n = std::min(room, bytes.size());
      std::copy_n(bytes.data(), n, space);
      Engined([&] { engine_.Commit(n); });
      bytes.remove_prefix(n);
    }
  }

  // The engine's text is the matching copy; in ISO-8859-1 that is the
  // input itself.
  void Text(const char* data, std::size_t size) override {
    matched_ += size;
    if (!markup_) return;
    if (encoding_ == Encoding::kLatin1) {
      markup_(std::string_view(data, size));
    } else {
      WriteHeld(copy_.Origin(matched_));
    }
  }

  void Break(std::uint64_t at, bool paragraph) override {
    const std::uint64_t offset = encoding_ == Encoding::kLatin1 ? at : copy_.Origin(at);
    Found({offset, paragraph});
    if (markup_) {
      if (encoding_ == Encoding::kUtf8) WriteHeld(offset);
      markup_(BreakMarkup(paragraph));
    }
  }

  void Found(const Boundary& boundary) {
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
    markup_(std::string_view(held_.data() + held_start_, n));
    held_start_ += n;
    held_from_ = end;
    // Drop what was written once it outweighs what is left.
    if (held_start_ > kSlice && held_start_ > held_.size() / 2) {
      held_.erase(0, held_start_);
      held_start_ = 0;
    }
  }

  const Encoding encoding_;
  const MarkupSink markup_;
  const BoundarySink boundary_sink_;
  Engine engine_;
  MatchingCopy copy_;
  std::string matching_;            // scratch: the matching copy of a slice
  std::uint64_t matched_ = 0;       // matching bytes the engine handed back
  std::uint64_t fed_ = 0;
  bool finished_ = false;
  bool failed_ = false;
  std::vector<Boundary> boundaries_;
  // UTF-8 with markup: the input bytes not yet written, stream offsets
  // held_from_ on, from held_[held_start_] on.
  std::string held_;
  std::size_t held_start_ = 0;
  std::uint64_t held_from_ = 0;
};

Segmenter::Segmenter(Encoding encoding) : Segmenter(encoding, nullptr, nullptr) {}
Segmenter::Segmenter(Encoding encoding, MarkupSink markup)
    : Segmenter(encoding, std::move(markup), nullptr) {}
Segmenter::Segmenter(Encoding encoding, MarkupSink markup, BoundarySink boundaries)
    : impl_(std::make_unique<Impl>(encoding, std::move(markup), std::move(boundaries))) {}
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
std::uint64_t Segmenter::decided() const { return impl_->decided(); }

std::vector<Boundary> Boundaries(std::string_view text, Encoding encoding) {
  Segmenter segmenter(encoding);
  segmenter.Feed(text);
  segmenter.Finish();
  return segmenter.TakeBoundaries();
}

std::vector<std::string_view> Sentences(std::string_view text, Encoding encoding) {
  const std::vector<Boundary> starts = Boundaries(text, encoding);
  std::vector<std::string_view> sentences;
  sentences.reserve(starts.size());
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const std::uint64_t end = i + 1 < starts.size() ? starts[i + 1].offset : text.size();
    sentences.push_back(text.substr(starts[i].offset, end - starts[i].offset));
  }
  return sentences;
}

std::string Markup(std::string_view text, Encoding encoding) {
  std::string out;
  out.reserve(text.size() + text.size() / 8 + 16);
  Segmenter segmenter(encoding, [&out](std::string_view piece) { out.append(piece); });
  segmenter.Feed(text);
  segmenter.Finish();
  return out;
}

}  // namespace ptseg
