// The only bytes the segmenter adds to its input, and where a break opens a
// paragraph.
#pragma once

namespace ptseg {

inline constexpr char kOpen[] = "<p><s>";
inline constexpr char kClose[] = "</s></p>";
inline constexpr char kSentenceBreak[] = "</s><s>";
inline constexpr char kParagraphBreak[] = "</s></p><p><s>";

// A break whose consumed text starts with the line break itself (LF, or the
// CR of CR LF) opens a new paragraph; any other break only a new sentence.
constexpr bool StartsParagraph(unsigned char first_byte) {
  return first_byte == '\n' || first_byte == '\r';
}

inline const char* BreakMarkup(bool paragraph) {
  return paragraph ? kParagraphBreak : kSentenceBreak;
}

}  // namespace ptseg
