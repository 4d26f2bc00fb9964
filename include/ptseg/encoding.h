// How input bytes are read, and the names an encoding goes by.
#pragma once

#include <string_view>

namespace ptseg {

enum class Encoding {
  // Every byte is the ISO-8859-1 character of that value.
  kLatin1,
  // UTF-8.  A byte that is not part of a valid sequence is one character
  // on its own, read as Windows-1252 (as ISO-8859-1 where Windows-1252
  // leaves it undefined), so ISO-8859-1 and Windows-1252 text read right
  // too.  Typographic quotes, dashes, the ellipsis character and
  // combining marks count as their ISO-8859-1 counterparts.
  kUtf8,
  // UTF-16, little or big endian, the byte orders of the byte-order marks
  // FF FE and FE FF (asked for, the order holds whatever mark the text
  // starts with): segmented as its UTF-8 form is, with offsets into the
  // UTF-16 bytes.  A surrogate without its partner, and an odd last
  // byte, read as U+FFFD.
  kUtf16Le,
  kUtf16Be,
};

// Sets *encoding from its name: "utf-8" or "utf8"; "latin-1", "latin1",
// "iso-8859-1" or "iso8859-1"; "utf-16le", "utf-16be" (or without the
// "-"); in any case, with "_" for "-".  Returns
// false, leaving *encoding as it was, for any other name.
bool ParseEncoding(std::string_view name, Encoding* encoding);

// The encoding's usual name: "utf-8", "latin-1", "utf-16le" or "utf-16be".
const char* EncodingName(Encoding encoding);

// The encoding that text asked to be read in `asked` is read in, told by
// its first bytes `start` (two are enough): UTF-8 text that starts with a
// UTF-16 byte-order mark, FF FE or FE FF, is UTF-16 in that byte order.
Encoding EncodingOfText(Encoding asked, std::string_view start);

}  // namespace ptseg
