// The marked-up text: the input bytes with "<p><s>" at the start,
// "</s><s>" where a sentence starts, "</s></p><p><s>" where a paragraph
// starts and "</s></p>" at the end.  These strings are the only bytes the
// markup adds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
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
//
// Each piece goes to the sink as it comes, or, with a gathering size,
// pieces are gathered and handed over together, at most that many bytes
// at a time (a piece as large goes alone): when no more fit, at Flush and
// at Close.  That costs less where sentences are short.
class MarkupWriter {
 public:
  using Sink = std::function<void(std::string_view)>;

  // Writes the opening markup, at once.
  explicit MarkupWriter(Sink sink, Encoding encoding = Encoding::kUtf8, std::size_t gather = 0)
      : sink_(std::move(sink)),
        utf16_(encoding == Encoding::kUtf16Le || encoding == Encoding::kUtf16Be),
        big_endian_(encoding == Encoding::kUtf16Be),
        gather_(gather),
        gathered_(gather != 0 ? new char[gather] : nullptr) {
    Put(kOpenMarkup);
    Flush();
  }

  // The next bytes of the input.
  void Text(std::string_view bytes) {
    // The text of most sentences is short: copied without a call.
    if (bytes.size() <= kShortText && gather_ - size_ >= kShortText) {
      CopyShort(gathered_.get() + size_, bytes.data(), bytes.size());
      size_ += bytes.size();
      return;
    }
    TextAtLength(bytes);
  }
  // A sentence starts at this point of the input.  The first start is
  // the opening markup's.
  void Start(const Boundary& start) {
    if (!started_) {
      started_ = true;
    } else if (!utf16_) {
      if (gather_ - size_ >= 16) {  // 16 bytes at once, of which the markup's are kept
        std::memcpy(gathered_.get() + size_, kPaddedBreaks[start.paragraph], 16);
        size_ += BreakMarkup(start.paragraph).size();
        return;
      }
      Text(BreakMarkup(start.paragraph));
    } else {
      PutWide(BreakMarkup(start.paragraph));
    }
  }
  // The input has ended: writes the closing markup, and hands over what
  // is gathered.
  void Close() {
    Put(kCloseMarkup);
    Flush();
  }
  // Hands what is gathered to the sink.
  void Flush() {
    if (size_ == 0) return;
    const std::size_t size = size_;
    size_ = 0;
    sink_(std::string_view(gathered_.get(), size));
  }

 private:
  void Put(std::string_view markup) {
    if (utf16_) {
      PutWide(markup);
    } else {
      Text(markup);
    }
  }
  // The markup in UTF-16; kept out of line, away from the path of every
  // sentence in the other encodings.
  void PutWide(std::string_view markup);
  // Text longer than a short copy, or that does not fit: kept out of line
  // as well.
  void TextAtLength(std::string_view bytes);

  static constexpr std::size_t kShortText = 64;
  // Copies up to kShortText bytes, in pieces of 16 (or, for fewer bytes,
  // two of 8 or 4, or single bytes) of which the last may overlap the one
  // before.
  static void CopyShort(char* dst, const char* src, std::size_t size) {
    if (size >= 16) {
      for (std::size_t at = 0; at + 16 < size; at += 16) std::memcpy(dst + at, src + at, 16);
      std::memcpy(dst + size - 16, src + size - 16, 16);
    } else if (size >= 8) {
      std::memcpy(dst, src, 8);
      std::memcpy(dst + size - 8, src + size - 8, 8);
    } else if (size >= 4) {
      std::memcpy(dst, src, 4);
      std::memcpy(dst + size - 4, src + size - 4, 4);
    } else if (size != 0) {
      dst[0] = src[0];
      dst[size / 2] = src[size / 2];
      dst[size - 1] = src[size - 1];
    }
  }
  // The two break markups, each in 16 bytes.
  static constexpr char kPaddedBreaks[2][16] = {"</s><s>", "</s></p><p><s>"};

  Sink sink_;
  const bool utf16_;
  const bool big_endian_;
  bool started_ = false;
  const std::size_t gather_;
  std::unique_ptr<char[]> gathered_;
  std::size_t size_ = 0;  // bytes gathered
};

}  // namespace ptseg
