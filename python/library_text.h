// The pieces of the library's text layer the module uses beyond the public
// header: the encoding names Python code gives, one code point in UTF-8,
// and bytes decoded the way the segmenter reads them.  They are here alone
// so that nothing else in the module reaches into the library's sources.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ptseg/ptseg.h"
#include "text/decode.h"
#include "text/utf8.h"

namespace ptseg_python {

// "utf-8" or "latin-1", in the spellings Python accepts for them most
// often, in any case, "-" or "_"; nothing for any other name.
std::optional<ptseg::Encoding> EncodingNamed(std::string_view name);

// Writes the UTF-8 form of cp (not a surrogate) to out; returns its length.
inline int EncodeUtf8(char32_t cp, char* out) { return ptseg::utf8::Encode(cp, out); }

// Appends bytes to out as UTF-8, decoded as the segmenter reads them.
inline void DecodeToUtf8(std::string_view bytes, ptseg::Encoding encoding, std::string* out) {
  ptseg::AppendUtf8(bytes, encoding, out);
}

}  // namespace ptseg_python
