// Where a break opens a paragraph: shared by the engine and the plain flex
// scanner of the reference build.
#pragma once

namespace ptseg {

// A break whose consumed text starts with the line break itself (LF, or the
// CR of CR LF) opens a new paragraph; any other break only a new sentence.
constexpr bool StartsParagraph(unsigned char first_byte) {
  return first_byte == '\n' || first_byte == '\r';
}

}  // namespace ptseg
