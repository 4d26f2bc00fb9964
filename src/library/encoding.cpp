#include "ptseg/encoding.h"

#include <string>

namespace ptseg {

bool ParseEncoding(std::string_view name, Encoding* encoding) {
  // Lowered by hand: the locale's tolower would read "LATIN1" otherwise
  // under some locales (a Turkish one lowers I to a dotless i).
  std::string key(name);
  for (char& c : key) {
    if (c == '_') c = '-';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (key == "utf-8" || key == "utf8") {
    *encoding = Encoding::kUtf8;
  } else if (key == "latin-1" || key == "latin1" || key == "iso-8859-1" || key == "iso8859-1") {
    *encoding = Encoding::kLatin1;
  } else if (key == "utf-16le" || key == "utf16le") {
    *encoding = Encoding::kUtf16Le;
  } else if (key == "utf-16be" || key == "utf16be") {
    *encoding = Encoding::kUtf16Be;
  } else {
    return false;
  }
  return true;
}

Encoding EncodingOfText(Encoding asked, std::string_view start) {
  if (asked != Encoding::kUtf8) return asked;
  if (start.substr(0, 2) == "\xFF\xFE") return Encoding::kUtf16Le;
  if (start.substr(0, 2) == "\xFE\xFF") return Encoding::kUtf16Be;
  return asked;
}

const char* EncodingName(Encoding encoding) {
  switch (encoding) {
    case Encoding::kLatin1:
      return "latin-1";
    case Encoding::kUtf8:
      return "utf-8";
    case Encoding::kUtf16Le:
      return "utf-16le";
    case Encoding::kUtf16Be:
      return "utf-16be";
  }
  return "";
}

}  // namespace ptseg
