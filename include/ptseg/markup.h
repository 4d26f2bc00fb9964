// The marked-up text: the input bytes with "<p><s>" at the start,
// "</s><s>" where a sentence starts, "</s></p><p><s>" where a paragraph
// starts and "</s></p>" at the end.  These strings are the only bytes the
// markup adds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "ptseg/encoding.h"
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
// with Start, at the point of the input where it falls.  The markup is
// ASCII, and so written in every encoding but UTF-16, where it is written
// in the input's own UTF-16.
class MarkupWriter {
 public:
  using Sink = std::function<void(std::string_view)>;

  // Writes the opening markup.
  explicit MarkupWriter(Sink sink, Encoding encoding = Encoding::kUtf8)
      : sink_(std::move(sink)),
        utf16_(encoding == Encoding::kUtf16Le || encoding == Encoding::kUtf16Be),
        big_endian_(encoding == Encoding::kUtf16Be) {
    Put(kOpenMarkup);
  }

  // The next bytes of the input.
  void Text(std::string_view bytes) {
    if (!bytes.empty()) sink_(bytes);
  }
  // A sentence starts at this point of the input.  The first start is
  // the opening markup's.
  void Start(const Boundary& start) {
    if (started_) Put(BreakMarkup(start.paragraph));
    started_ = true;
  }
  // The input has ended: writes the closing markup.
  void Close() { Put(kCloseMarkup); }

 private:
  void Put(std::string_view markup) {
    if (!utf16_) {
      sink_(markup);
      return;
    }
    std::string wide;
    for (char c : markup) {
      wide += big_endian_ ? '\0' : c;
      wide += big_endian_ ? c : '\0';
    }
    sink_(wide);
  }

  Sink sink_;
  const bool utf16_;
  const bool big_endian_;
  bool started_ = false;
};

}  // namespace ptseg
