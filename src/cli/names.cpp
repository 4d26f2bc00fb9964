#include "cli/names.h"

#include <cstdint>

namespace ptsplit {
namespace {

// The length of the valid UTF-8 character at the start of `s` (shortest
// form, no surrogate, at most U+10FFFF), or 0; *code gets its value.
std::size_t CharacterAt(std::string_view s, std::uint32_t* code) {
  const auto c = static_cast<unsigned char>(s[0]);
  if (c < 0x80) {
    *code = c;
    return 1;
  }
  std::size_t length;
  std::uint32_t value, least;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2, value = c & 0x1F, least = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3, value = c & 0x0F, least = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4, value = c & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(s[i]);
    if ((next & 0xC0) != 0x80) return 0;
    value = value << 6 | (next & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return length;
}

void AppendEscaped(unsigned char byte, std::string* out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  *out += "\\x";
  *out += kHex[byte >> 4];
  *out += kHex[byte & 0xF];
}

}  // namespace

std::string DisplayName(std::string_view raw) {
  std::string shown;
  shown.reserve(raw.size());
  while (!raw.empty()) {
    std::uint32_t code = 0;
    std::size_t length = CharacterAt(raw, &code);
    // A C1 control (U+0080-U+009F) is a control as much as an escape is:
    // U+009B opens a terminal's control sequence, U+0085 breaks the line.
    const bool shows_as_itself = length != 0 && code >= 0x20 && !(code >= 0x7F && code <= 0x9F) &&
                                 code != 0xFFFE && code != 0xFFFF &&
                                 !(code == '\\' && raw.size() > 1 && raw[1] == 'x');
    if (length == 0) length = 1;
    if (shows_as_itself) {
      shown.append(raw.data(), length);
    } else {
      for (std::size_t i = 0; i < length; ++i) {
        AppendEscaped(static_cast<unsigned char>(raw[i]), &shown);
      }
    }
    raw.remove_prefix(length);
  }
  return shown;
}

}  // namespace ptsplit
