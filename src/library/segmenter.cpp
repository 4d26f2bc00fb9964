// The public interface over the library's streams: one on the calling
// thread, or several on threads of their own.
#include <memory>
#include <stdexcept>
#include <utility>

#include "library/parallel.h"
#include "library/stream.h"
#include "ptseg/ptseg.h"

namespace ptseg {

const char* Version() { return PTSEG_VERSION; }

class Segmenter::Impl {
 public:
  // The starts go to the caller's sink, or are kept for TakeBoundaries
  // (`keep`), or dropped.  A caller's sink may look at the markup at each
  // start: it has been written up to there.  Otherwise it goes in larger
  // pieces.
  Impl(const Options& options, MarkupSink markup, BoundarySink boundaries, bool keep) {
    const std::size_t gather = boundaries ? 0 : library::kMarkupGather;
    const bool utf16 =
        options.encoding == Encoding::kUtf16Le || options.encoding == Encoding::kUtf16Be;
    // One thread, asked for or all the machine has, scans best alone.
    if (library::ThreadCount(options) != 1 && !utf16) {
      stream_ = std::make_unique<library::ParallelStream>(options, std::move(markup), gather,
                                                          std::move(boundaries));
    } else {
      stream_ = std::make_unique<library::Stream>(options, std::move(markup), gather,
                                                  std::move(boundaries));
    }
    if (keep) stream_->KeepStarts(&boundaries_);
  }

  // Runs `step`; a Segmenter that has thrown once is left unusable, since
  // part of what it was given may be lost.  A sink's call of its own
  // Segmenter is refused: it would cut into the step under way, and the
  // markup would come out of order.
  template <class Step>
  void Guarded(Step step) {
    if (failed_) throw std::logic_error("ptseg::Segmenter: used after an error");
    if (busy_) throw std::logic_error("ptseg::Segmenter: called from its own sink");
    busy_ = true;
    try {
      step();
    } catch (...) {
      busy_ = false;
      failed_ = true;
      throw;
    }
    busy_ = false;
  }

  void Feed(std::string_view bytes) {
    if (finished_) throw std::logic_error("ptseg::Segmenter: Feed after Finish");
    space_ = 0;
    fed_ += bytes.size();
    stream_->Feed(bytes);
  }

  char* Space(std::size_t size, std::size_t* room) {
    if (finished_) throw std::logic_error("ptseg::Segmenter: Space after Finish");
    space_ = 0;
    char* const space = stream_->Space(size, room);
    space_ = *room;
    return space;
  }

  // Only bytes written to the room the last call gave are taken: a stream
  // with threads may have handed on its piece since, and bytes past the
  // room were never the caller's to write.
  void Commit(std::size_t size) {
    if (finished_) throw std::logic_error("ptseg::Segmenter: Commit after Finish");
    if (size > space_) throw std::logic_error("ptseg::Segmenter: Commit of more than Space gave");
    space_ = 0;
    if (size == 0) return;
    fed_ += size;
    stream_->Commit(size);
  }

  void Flush() {
    space_ = 0;
    if (!finished_) stream_->Flush();
  }

  void Finish() {
    space_ = 0;
    if (finished_) return;
    finished_ = true;
    stream_->Finish();
    ended_ = true;
  }

  std::vector<Boundary> TakeBoundaries() { return std::exchange(boundaries_, {}); }
  std::uint64_t size() const { return fed_; }
  bool finished() const { return finished_; }
  bool failed() const { return failed_; }
  // While Finish runs, its starts are still being reported.
  std::uint64_t decided() const { return ended_ ? fed_ : stream_->decided(); }

 private:
  std::vector<Boundary> boundaries_;
  std::unique_ptr<library::Segmentation> stream_;
  std::uint64_t fed_ = 0;
  bool finished_ = false;
  bool ended_ = false;
  bool failed_ = false;
  bool busy_ = false;      // in Feed, Flush or Finish
  std::size_t space_ = 0;  // the room the last call, if a Space, gave
};

Segmenter::Segmenter(const Options& options) : Segmenter(options, nullptr) {}
Segmenter::Segmenter(const Options& options, MarkupSink markup)
    : impl_(std::make_unique<Impl>(options, std::move(markup), nullptr, true)) {}
Segmenter::Segmenter(const Options& options, MarkupSink markup, BoundarySink boundaries)
    : impl_(std::make_unique<Impl>(options, std::move(markup), std::move(boundaries), false)) {}
Segmenter::~Segmenter() = default;
Segmenter::Segmenter(Segmenter&&) noexcept = default;
Segmenter& Segmenter::operator=(Segmenter&&) noexcept = default;

void Segmenter::Feed(std::string_view bytes) {
  impl_->Guarded([&] { impl_->Feed(bytes); });
}
char* Segmenter::Space(std::size_t size, std::size_t* room) {
  char* space = nullptr;
  impl_->Guarded([&] { space = impl_->Space(size, room); });
  return space;
}
void Segmenter::Commit(std::size_t size) {
  impl_->Guarded([&] { impl_->Commit(size); });
}
void Segmenter::Flush() {
  impl_->Guarded([&] { impl_->Flush(); });
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
