// The input as UTF-8, for output formats that carry the text as Unicode.
#pragma once

#include <string>
#include <string_view>

#include "text/encoding.h"

namespace ptseg {

// Appends `bytes`, read in `encoding`, to *out as UTF-8.  In UTF-8, valid
// sequences are copied as they are and every other byte becomes the
// Windows-1252 character of that byte (the ISO-8859-1 one where
// Windows-1252 has none); in ISO-8859-1 every byte is its own character.
// A sequence cut short at the end of `bytes` is read byte by byte, so give
// whole characters: pieces cut at offsets the matching copy reports are.
void AppendUtf8(std::string_view bytes, Encoding encoding, std::string* out);

}  // namespace ptseg
