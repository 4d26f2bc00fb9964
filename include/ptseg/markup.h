// The marked-up text: the input bytes with "<p><s>" at the start,
// "</s><s>" where a sentence starts, "</s></p><p><s>" where a paragraph
// starts and "</s></p>" at the end.  These strings are the only bytes the
// markup adds.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>

#include "ptseg/sentence.h"

namespace ptseg {

inline constexpr char kOpenMarkup[] = "<p><s>";
inline constexpr char kCloseMarkup[] = "</s></p>";
inline constexpr char kSentenceMarkup[] = "</s><s>";
inline constexpr char kParagraphMarkup[] = "</s></p><p><s>";

// The markup where a sentence starts, opening a paragraph or not.
constexpr std::string_view BreakMarkup(bool paragraph) {
  return paragraph ? kParagraphMarkup : kSentenceMarkup;
}

// Writes the marked-up text of input bytes the caller holds, in pieces, to
// a sink.  Give it the input in order with Text and each sentence start
// with Start, at the point of the input where it falls.
class MarkupWriter {
 public:
  using Sink = std::function<void(std::string_view)>;

  // Writes the opening markup.
  explicit MarkupWriter(Sink sink) : sink_(std::move(sink)) { sink_(kOpenMarkup); }

  // The next bytes of the input.
  void Text(std::string_view bytes) {
    if (!bytes.empty()) sink_(bytes);
  }
  // A sentence starts at this point of the input.  The first start is
  // the opening markup's.
  void Start(const Boundary& start) {
    if (started_) sink_(BreakMarkup(start.paragraph));
    started_ = true;
  }
  // The input has ended: writes the closing markup.
  void Close() { sink_(kCloseMarkup); }

 private:
  Sink sink_;
  bool started_ = false;
};

}  // namespace ptseg
