#include "ptseg/text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text/utf16.h"
#include "text/utf8.h"

namespace ptseg {
namespace {

void AppendChar(char32_t cp, std::string* out) {
  char buf[4];
  out->append(buf, utf8::Encode(cp, buf));
}

// From p on, which starts a character, the first byte that is neither
// ASCII nor in a two-byte sequence (C2..DF and a continuation byte), or a
// byte before it, or end: the text of a language written with accented
// letters, checked 16 bytes at a time.  The bytes from `begin` to p are
// readable too.
const unsigned char* SkipTwoByteUtf8(const unsigned char* begin, const unsigned char* p,
                                     const unsigned char* end) {
#if defined(__SSE2__)
  unsigned carry = 0;  // whether the byte before p leads a two-byte sequence
  for (; end - p >= 16; p += 16) {
    const utf8::Bits bits(p);
    if (bits.high == 0 && carry == 0) continue;
    if ((bits.high & ~(bits.follow | bits.lead)) != 0 ||
        bits.follow != (((bits.lead << 1) | carry) & 0xFFFF)) {
      break;
    }
    carry = bits.lead >> 15;
  }
  if (carry != 0) return p - 1;  // from the lead byte of the sequence the cut split
  if (p < end && end - p < 16 && end - begin >= 16) {
    // The last 16 bytes, of which those before p are known already; no
    // sequence may be cut short at the end.
    const utf8::Bits bits(end - 16);
    const unsigned after = (0xFFFFu << (16 - (end - p))) & 0xFFFF;
    const unsigned high = bits.high & after;
    const unsigned follow = bits.follow & after;
    const unsigned lead = bits.lead & after;
    if ((high & ~(follow | lead)) == 0 && follow == ((lead << 1) & 0xFFFF) &&
        (lead & 0x8000) == 0) {
      return end;
    }
  }
#endif
  return p;
}

// The first byte from p on that is not its own UTF-8 in the text as the
// segmenter reads it (in UTF-8, one outside a valid sequence; in
// ISO-8859-1, any from 0x80), or end.
const unsigned char* SameUpTo(const unsigned char* p, const unsigned char* end, Encoding encoding) {
  const unsigned char* const begin = p;
  for (;;) {
    if (encoding == Encoding::kUtf8) p = SkipTwoByteUtf8(begin, p, end);
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
