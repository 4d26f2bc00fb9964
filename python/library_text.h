// The pieces of the library's interface the module uses for text: one
// code point in UTF-8, and bytes decoded the way the segmenter reads them.
#pragma once

#include <string>
#include <string_view>

#include "ptseg/ptseg.h"

namespace ptseg_python {

// Writes the UTF-8 form of cp (not a surrogate) to out; returns its length.
inline int EncodeUtf8(char32_t cp, char* out) { return ptseg::EncodeUtf8(cp, out); }

// Appends bytes to out as UTF-8, decoded as the segmenter reads them.
inline void DecodeToUtf8(std::string_view bytes, ptseg::Encoding encoding, std::string* out) {
  ptseg::AppendUtf8(bytes, encoding, out);
}

}  // namespace ptseg_python
