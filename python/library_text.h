// The pieces of the library's interface the module uses for text: one
// code point in UTF-8, and bytes decoded the way the segmenter reads them.
#pragma once

#include <string>
#include <string_view>

#include "ptseg/ptseg.h"

namespace ptseg_python {

// Writes the UTF-8 form of cp (not a surrogate) to out; returns its length.
inline int EncodeUtf8(char32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// Appends bytes to out as UTF-8, decoded as the segmenter reads them.
inline void DecodeToUtf8(std::string_view bytes, ptseg::Encoding encoding, std::string* out) {
  ptseg::AppendUtf8(bytes, encoding, out);
}

}  // namespace ptseg_python
