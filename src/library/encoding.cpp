#include "ptseg/encoding.h"

#include <cctype>
#include <string>

namespace ptseg {

bool ParseEncoding(std::string_view name, Encoding* encoding) {
  std::string key(name);
  for (char& c : key) {
    c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (key == "utf-8" || key == "utf8") {
    *encoding = Encoding::kUtf8;
  } else if (key == "latin-1" || key == "latin1" || key == "iso-8859-1" || key == "iso8859-1") {
    *encoding = Encoding::kLatin1;
  } else {
    return false;
  }
  return true;
}

const char* EncodingName(Encoding encoding) {
  return encoding == Encoding::kUtf8 ? "utf-8" : "latin-1";
}

}  // namespace ptseg
