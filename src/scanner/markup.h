// The only bytes ptseg adds to its input.
#pragma once

namespace ptseg {

inline constexpr char kOpen[] = "<p><s>";
inline constexpr char kClose[] = "</s></p>";
inline constexpr char kSentenceBreak[] = "</s><s>";
inline constexpr char kParagraphBreak[] = "</s></p><p><s>";

// A break whose consumed text starts with the line break itself (LF, or the
// CR of CR LF) opens a new paragraph; any other break only a new sentence.
inline const char* BreakMarkup(unsigned char first_byte) {
  return first_byte == '\n' || first_byte == '\r' ? kParagraphBreak
                                                  : kSentenceBreak;
}

}  // namespace ptseg
