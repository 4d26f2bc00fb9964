#include "ptseg/text.h"
#include "text/utf16.h"
#include "text/utf8.h"

namespace ptseg {
namespace {

void AppendChar(char32_t cp, std::string* out) {
  char buf[4];
  out->append(buf, utf8::Encode(cp, buf));
}

}  // namespace

int EncodeUtf8(char32_t cp, char* out) { return utf8::Encode(cp, out); }

void AppendUtf8(std::string_view bytes, Encoding encoding, std::string* out) {
  if (encoding == Encoding::kUtf16Le || encoding == Encoding::kUtf16Be) {
    Utf16Decoder decoder(encoding == Encoding::kUtf16Be);
    decoder.Feed(bytes, out);
    decoder.Finish(out);
    return;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  // Text that needs no change is appended a run at a time.
  const unsigned char* run = p;
  while (p < end) {
    p = utf8::SkipAscii(p, end);
    if (p == end) break;
    if (encoding == Encoding::kUtf8) {
      const utf8::Char c = utf8::Decode(p, end, true);
      if (c.length > 1) {  // a valid sequence
        p += c.length;
        continue;
      }
    }
    out->append(reinterpret_cast<const char*>(run), p - run);
    AppendChar(encoding == Encoding::kUtf8 ? utf8::Windows1252(*p) : *p, out);
    run = ++p;
  }
  out->append(reinterpret_cast<const char*>(run), end - run);
}

}  // namespace ptseg
