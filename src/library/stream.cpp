#include "library/stream.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "engine/byte_copy.h"

namespace ptseg {
namespace library {
namespace {

// Runs a call into the engine, its failure made the public one.
template <class Call>
auto Engined(Call call) -> decltype(call()) {
  try {
    return call();
  } catch (const engine::EngineError& error) {
    throw Error(error.what());
  }
}

}  // namespace

Stream::Stream(const Options& options, Segmenter::MarkupSink markup, std::size_t gather,
               BoundarySink boundaries, std::uint64_t base, bool at_line_start)
    : encoding_(options.encoding),
      join_lines_(options.paragraphs == Paragraphs::kBlankLines),
      engine_reads_input_(encoding_ == Encoding::kLatin1 && !join_lines_),
      base_(base),
      boundary_sink_(std::move(boundaries)),
      engine_(this, at_line_start) {
  if (markup) markup_.emplace(std::move(markup), encoding_, gather);
  if (encoding_ == Encoding::kUtf16Le || encoding_ == Encoding::kUtf16Be) {
    utf16_.emplace(encoding_ == Encoding::kUtf16Be);
  }
}

void Stream::Feed(std::string_view bytes) {
  ThenFlush(markup_, [&] { FeedBytes(bytes); });
}

void Stream::FeedBytes(std::string_view bytes) {
  if (bytes.empty()) return;
  if (fed_ == 0 && base_ == 0) Found({0, true});
  // The markup of a matching copy is written from these bytes while they
  // last, and what is still to write is kept after.
  feeding_ = bytes;
  feeding_from_ = fed_;
  fed_ += bytes.size();
  try {
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
  } catch (const Error&) {
    // The scan failed: the markup goes as far as it decided, as it does
    // where the engine's text is the input.
    if (markup_ && !engine_reads_input_) WriteHeld(Origin(matched_));
    throw;
  }
  // The markup of a matching copy goes out sentence by sentence (Break),
  // and what is decided of the last one here.
  if (markup_ && !engine_reads_input_) {
    WriteHeld(Origin(matched_));
    if (held_from_ >= feeding_from_) {
      held_.assign(feeding_.substr(static_cast<std::size_t>(held_from_ - feeding_from_)));
      held_start_ = 0;
    } else {
      held_.append(feeding_);
    }
  }
  feeding_ = {};
  feeding_from_ = fed_;
}

void Stream::Restart(std::vector<Boundary>* kept, std::uint64_t base, bool at_line_start) {
  assert(!markup_);
  base_ = base;
  boundary_sink_ = nullptr;
  kept_ = kept;
  engine_.Restart(at_line_start);
  copy_.Restart();
  if (utf16_) utf16_.emplace(encoding_ == Encoding::kUtf16Be);
  joiner_ = LineJoiner();
  matched_ = fed_ = 0;
  finished_ = ended_ = false;
  held_.clear();
  held_start_ = 0;
  held_from_ = 0;
  feeding_ = {};
  feeding_from_ = 0;
}

void Stream::Finish() {
  ThenFlush(markup_, [&] { FinishBytes(); });
}

void Stream::FinishBytes() {
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
    Push(matching_.view());
  }
  if (join_lines_) {
    bool more;
    do {
      joined_.clear();
      more = joiner_.Finish(&joined_);
      PushToEngine(joined_);
    } while (more);
  }
  Engined([&] { engine_.Finish(); });
  if (markup_) {
    const std::uint64_t close = CloseAt(encoding_, fed_);
    if (!engine_reads_input_) WriteHeld(close);
    markup_->Close();
    if (close < fed_) {
      WriteHeld(fed_);
      markup_->Flush();
    }
  }
  ended_ = true;
}

std::uint64_t Stream::decided() const { return base_ + (ended_ ? fed_ : Origin(matched_)); }

int Stream::Resting() const {
  const int engine = engine_.Resting();
  if (engine < 0 || utf16_ || (join_lines_ && !joiner_.idle())) return -1;
  if (encoding_ != Encoding::kLatin1 && !copy_.settled()) return -1;
  return engine;
}

// UTF-8 goes to the engine as its matching copy, in slices, so that the
// copy of a long text is never whole.
void Stream::FeedUtf8(std::string_view utf8) {
  for (std::size_t at = 0; at < utf8.size(); at += kSlice) {
    matching_.clear();
    copy_.Feed(utf8.data() + at, std::min(kSlice, utf8.size() - at), &matching_);
    Push(matching_.view());
    // Nothing before the text handed back is asked of the copy again.
    copy_.Forget(matched_);
    if (utf16_) utf16_->Forget(copy_.Origin(matched_));
  }
}

// Feeds the engine the bytes it matches: the matching copy, its inner
// line breaks made blanks for wrapped text.
void Stream::Push(std::string_view bytes) {
  if (!join_lines_) {
    PushToEngine(bytes);
    return;
  }
  do {
    joined_.clear();
    bytes.remove_prefix(joiner_.Feed(bytes, &joined_));
    PushToEngine(joined_);
  } while (!bytes.empty());
}

void Stream::PushToEngine(std::string_view bytes) {
  while (!bytes.empty()) {
    std::size_t room = 0;
    char* space = Engined([&] { return engine_.Space(&room); });
    const std::size_t n = std::min(room, bytes.size());
    MoveBytes(space, bytes.data(), n);
    Engined([&] { engine_.Commit(n); });
    bytes.remove_prefix(n);
  }
}

// Where a byte of the matching copy came from in the input, counted from
// the stream's start.
std::uint64_t Stream::Origin(std::uint64_t matching_offset) const {
  if (encoding_ == Encoding::kLatin1) return matching_offset;
  const std::uint64_t utf8 = copy_.Origin(matching_offset);
  return utf16_ ? utf16_->Origin(utf8) : utf8;
}

// The engine's text is the matching copy: where that is the input itself,
// the markup is written from it, a sentence at a time.
void Stream::Decided(const char* data, std::size_t size, const EngineBreak* breaks,
                     std::size_t count) {
  const bool from_text = markup_ && engine_reads_input_;
  const std::uint64_t from = matched_;
  const std::uint64_t to = from + size;
  for (const EngineBreak* b = breaks; b != breaks + count; ++b) {
    if (from_text) {
      markup_->Text(std::string_view(data + (matched_ - from), b->offset - matched_));
    }
    // Decided up to the start, which goes out next: decided() never runs
    // ahead of a start not yet reported.
    matched_ = b->offset;
    const std::uint64_t offset = Origin(b->offset);
    if (markup_ && !engine_reads_input_) WriteHeld(offset);
    Found({base_ + offset, b->paragraph});
  }
  if (from_text) markup_->Text(std::string_view(data + (matched_ - from), to - matched_));
  matched_ = to;
}

// Writes the input bytes for the markup up to stream offset `end`: those
// held from earlier Feeds, then those of the Feed under way.
void Stream::WriteHeld(std::uint64_t end) {
  if (end <= held_from_) return;
  if (held_from_ < feeding_from_) {
    const auto n = static_cast<std::size_t>(std::min(end, feeding_from_) - held_from_);
    markup_->Text(std::string_view(held_.data() + held_start_, n));
    held_start_ += n;
    held_from_ += n;
    // Drop what was written once it outweighs what is left.
    if (held_start_ > kSlice && held_start_ > held_.size() / 2) {
      held_.erase(0, held_start_);
      held_start_ = 0;
    }
  }
  if (end > held_from_) {
    markup_->Text(feeding_.substr(static_cast<std::size_t>(held_from_ - feeding_from_),
                                  static_cast<std::size_t>(end - held_from_)));
    held_from_ = end;
  }
}

}  // namespace library
}  // namespace ptseg
