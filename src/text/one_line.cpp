#include <cstdint>
#include <cstring>

#include "ptseg/text.h"
#include "text/matching_copy.h"
#include "text/utf8.h"

namespace ptseg {
namespace {

// Whether the valid UTF-8 sequence of `length` (2-4) bytes at p is one of
// the wide spaces and line breaks of WriteOneLine.
bool IsWideSpace(const unsigned char* p, int length) {
  if (length != 3 || (p[0] != 0xE2 && p[0] != 0xE3)) return false;
  if (p[0] == 0xE3) return p[1] == 0x80 && p[2] == 0x80;
  if (p[1] == 0x80) return p[2] <= 0x8A || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF;
  return p[1] == 0x81 && p[2] == 0x9F;
}

bool IsTwoByteLead(unsigned char c) { return c >= 0xC2 && c < 0xE0; }

// A blank or an ASCII line break: a space, or a byte from tab to CR.
bool IsAsciiSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Writes the character at p, from 0x80 up, at o and moves both past it;
// `spaced` tells whether a space at o would follow a space or begin the
// line.
void WriteHigh(const unsigned char*& p, const unsigned char* end, bool from_utf8, bool spaced,
               char*& o) {
  const unsigned char c = *p;
  const int length = from_utf8 ? utf8::Decode(p, end, true).length : 1;
  if (length == 1) {
    // Not its own UTF-8, and never whitespace.
    o += utf8::Encode(from_utf8 ? utf8::Windows1252(c) : c, o);
  } else if (IsWideSpace(p, length)) {
    if (!spaced) *o++ = ' ';
  } else {
    std::memcpy(o, p, static_cast<std::size_t>(length));
    o += length;
  }
  p += length;
}

#if defined(__SSE2__)
// Flags those of 16 bytes from byte `from` on that are not written as they
// stand: controls, the lead bytes E2 and E3 of the wide spaces, a space
// after a space (`spaced` tells whether the byte before `from` counts as
// one), and, in UTF-8, any high byte but those of two-byte sequences
// (every other character is rare in the languages written with accented
// letters), in ISO-8859-1 every high byte.  `last` says the 16 bytes end
// the text, so that a sequence they cut is cut short.
// (Compiled into its caller, which tests it for each 16 bytes.)
[[gnu::always_inline]] inline unsigned Specials(__m128i bytes, unsigned from, bool spaced,
                                                bool last, bool from_utf8) {
  // Unsigned comparisons, done as signed ones on bytes shifted by 0x80.
  const __m128i b = _mm_xor_si128(bytes, _mm_set1_epi8(static_cast<char>(0x80)));
  auto special = static_cast<unsigned>(_mm_movemask_epi8(
      _mm_or_si128(_mm_cmplt_epi8(b, _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80))),
                   _mm_cmpgt_epi8(b, _mm_set1_epi8(static_cast<char>(0xE1 ^ 0x80))))));
  const auto space =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '))));
  const unsigned after = (0xFFFFu << from) & 0xFFFF;
  special |= space & (((space << 1) & ~(1u << from)) | (spaced ? 1u << from : 0u));
  const utf8::Bits bits(bytes);
  if (from_utf8) {
    // Leads before `from` are not the text's to read.
    const unsigned lead = bits.lead & after;
    special |= (bits.high & ~(bits.follow | bits.lead)) | (bits.follow ^ ((lead << 1) & 0xFFFF));
    if (last) special |= lead & 0x8000;
  } else {
    special |= bits.high;
  }
  return special & after;
}
#endif

// Writes the character at p, or the run of ASCII whitespace there, at o,
// and moves both past it; `spaced` as for WriteHigh.
[[gnu::always_inline]] inline void WriteChar(const unsigned char*& p, const unsigned char* end,
                                             bool from_utf8, bool spaced, char*& o) {
  const unsigned char c = *p;
  if (c >= 0x80) {
    WriteHigh(p, end, from_utf8, spaced, o);
  } else if (IsAsciiSpace(c)) {
    if (!spaced) *o++ = ' ';
    // The rest of a run of blanks and line breaks (a line end and the
    // indent after it) adds nothing: it goes at once, where each of its
    // bytes would stop the block copy again.
    do {
      ++p;
    } while (p < end && IsAsciiSpace(*p));
  } else {
    *o++ = static_cast<char>(c);
    ++p;
  }
}

#if defined(PTSEG_HAVE_MASKED64)
// WriteOneLine 64 bytes at a time, read and written by a mask of the bytes
// that belong to the text, so that the text of most sentences goes in one
// step; the bytes are flagged as by Specials.
PTSEG_MASKED64 char* OneLine64(const unsigned char* p, const unsigned char* end, bool from_utf8,
                               char* const out) {
  char* o = out;
  while (p < end) {
    const auto left = static_cast<std::uint64_t>(end - p);
    const std::uint64_t size = left < 64 ? left : 64;
    const __mmask64 in = _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(size));
    const __m512i v = _mm512_maskz_loadu_epi8(in, p);
    const bool spaced = o == out || o[-1] == ' ';
    std::uint64_t special = _mm512_cmplt_epu8_mask(v, _mm512_set1_epi8(0x20)) |
                            _mm512_cmpgt_epu8_mask(v, _mm512_set1_epi8(static_cast<char>(0xE1)));
    const std::uint64_t space = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(' '));
    special |= space & ((space << 1) | (spaced ? 1 : 0));
    const utf8::Bits64 bits(v);
    if (from_utf8) {
      special |= (bits.high & ~(bits.follow | bits.lead)) | (bits.follow ^ (bits.lead << 1));
    } else {
      special |= bits.high;
    }
    special &= in;
    std::uint64_t n = special == 0 ? size : static_cast<std::uint64_t>(__builtin_ctzll(special));
    // A lead whose sequence does not follow in the block (cut, or by the
    // end of the block) goes with the character after it.
    if (n > 0 && from_utf8 && IsTwoByteLead(p[n - 1])) --n;
    if (n != 0) {
      _mm512_mask_storeu_epi8(o, _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(n)), v);
      o += n;
      p += n;
      continue;
    }
    WriteChar(p, end, from_utf8, spaced, o);
  }
  if (o != out && o[-1] == ' ') --o;
  return o;
}
#endif

}  // namespace

bool IsWhitespace(char32_t c) {
  if (c < 0x80) return IsAsciiSpace(static_cast<unsigned char>(c));
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  char utf8[4];
  const int length = utf8::Encode(c, utf8);
  return IsWideSpace(reinterpret_cast<const unsigned char*>(utf8), length);
}

// Runs of bytes that stand as they are go 16 at a time, the rest one
// character at a time.  A run never ends inside a two-byte sequence.
char* WriteOneLine(std::string_view bytes, Encoding encoding, char* const out) {
  const bool from_utf8 = encoding == Encoding::kUtf8;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
#if defined(PTSEG_HAVE_MASKED64)
  if (MaskedBlocks64()) return OneLine64(p, end, from_utf8, out);
#endif
  char* o = out;
  // Whether a space here would be the line's first byte or follow a space.
  const auto spaced = [&] { return o == out || o[-1] == ' '; };
#if defined(__SSE2__)
  bool tail_tried = bytes.size() < 16;
#endif
  while (p < end) {
#if defined(__SSE2__)
    if (end - p >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const unsigned special = Specials(v, 0, spaced(), false, from_utf8);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);  // the output has room
      std::size_t n = special == 0 ? 16 : static_cast<std::size_t>(__builtin_ctz(special));
      if (n > 0 && from_utf8 && IsTwoByteLead(p[n - 1])) --n;
      o += n;
      p += n;
      if (n != 0) continue;
    } else if (!tail_tried) {
      // The last bytes, read as the last 16 of the text, go at once if
      // they can.
      tail_tried = true;
      const auto from = static_cast<unsigned>(16 - (end - p));
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
      if (Specials(v, from, spaced(), true, from_utf8) == 0) {
        std::memcpy(o, p, static_cast<std::size_t>(end - p));
        o += end - p;
        break;
      }
    }
#endif
    WriteChar(p, end, from_utf8, spaced(), o);
  }
  if (o != out && o[-1] == ' ') --o;
  return o;
}

}  // namespace ptseg
