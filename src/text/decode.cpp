#include "ptseg/text.h"
#include "text/utf16.h"
#include "text/utf8.h"

namespace ptseg {
namespace {

void AppendChar(char32_t cp, std::string* out) {
  char buf[4];
  out->append(buf, utf8::Encode(cp, buf));
}

// The first byte from p on that is not its own UTF-8 in the text as the
// segmenter reads it (in UTF-8, one outside a valid sequence; in
// ISO-8859-1, any from 0x80), or end.
const unsigned char* SameUpTo(const unsigned char* p, const unsigned char* end, Encoding encoding) {
  for (;;) {
    p = utf8::SkipAscii(p, end);
    if (p == end || encoding != Encoding::kUtf8) return p;
    // Accented letters, the bulk of what is not ASCII, take two bytes.
    if (*p >= 0xC2 && *p < 0xE0 && end - p >= 2 && (p[1] & 0xC0) == 0x80) {
      p += 2;
      continue;
    }
    const utf8::Char c = utf8::Decode(p, end, true);
    if (c.length <= 1) return p;
    p += c.length;
  }
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
  for (;;) {
    const unsigned char* run = p;
    p = SameUpTo(p, end, encoding);
    out->append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    if (p == end) return;
    AppendChar(encoding == Encoding::kUtf8 ? utf8::Windows1252(*p) : *p, out);
    ++p;
  }
}

std::string_view AsUtf8(std::string_view bytes, Encoding encoding, std::string* scratch) {
  std::size_t same = 0;
  if (encoding != Encoding::kUtf16Le && encoding != Encoding::kUtf16Be) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    same = static_cast<std::size_t>(SameUpTo(p, p + bytes.size(), encoding) - p);
    if (same == bytes.size()) return bytes;
  }
  // The decoding goes on from a character start.
  scratch->assign(bytes.data(), same);
  AppendUtf8(bytes.substr(same), encoding, scratch);
  return *scratch;
}

}  // namespace ptseg
