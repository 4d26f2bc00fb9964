// Reading and writing UTF-8 one character at a time, and finding runs of
// ASCII quickly; shared by the matching copy and the output decoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
// Text may also go 64 bytes at a time, read and written by masks, in
// functions marked PTSEG_MASKED64 and called where MaskedBlocks64() holds.
#define PTSEG_HAVE_MASKED64 1
#define PTSEG_MASKED64 __attribute__((target("avx512f,avx512bw,bmi2")))
#endif

namespace ptseg {
namespace utf8 {

// One character of the input.
struct Char {
  char32_t cp;
  // Bytes it takes; 0 when the data ends inside a sequence that may still
  // turn out valid.
  int length;
};

// Reads the character at p (p < end).  A byte that does not begin a valid
// sequence (stray continuation, overlong form, surrogate, past U+10FFFF, cut
// short) is a character of its own, given here as its ISO-8859-1 value;
// callers that want the Windows-1252 reading use Windows1252() on it.  When
// the data ends inside what could still be a valid sequence, the result has
// length 0, unless `at_end` says no more data will come.
inline Char Decode(const unsigned char* p, const unsigned char* end, bool at_end) {
  const unsigned char lead = p[0];
  if (lead < 0xC2 || lead > 0xF4) return {lead, 1};
  const int length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  // The second byte's range also rules out overlong forms, surrogates and
  // values past U+10FFFF.
  unsigned char low = 0x80, high = 0xBF;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  char32_t cp = lead & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    if (p + i == end) return at_end ? Char{lead, 1} : Char{0, 0};
    if (p[i] < low || p[i] > high) return {lead, 1};
    low = 0x80;
    high = 0xBF;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  return {cp, length};
}

// The Windows-1252 character of a byte 0x80-0x9F; the five bytes that
// Windows-1252 leaves undefined keep their ISO-8859-1 value (U+0081 ...).
inline char32_t Windows1252(unsigned char byte) {
  static constexpr char32_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  return byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : byte;
}

// Writes cp (a Unicode scalar value) as UTF-8; returns the byte count.
inline int Encode(char32_t cp, char* out) {
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

#if defined(__SSE2__)
// Bits for 16 bytes: those from 0x80 up, the continuation bytes and the
// leads of two-byte sequences (the accented letters of most languages).
struct Bits {
  unsigned high, follow, lead;
  explicit Bits(const unsigned char* p)
      : Bits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) {}
  explicit Bits(__m128i v) {
    high = static_cast<unsigned>(_mm_movemask_epi8(v));
    // As signed bytes, continuation bytes are -128..-65 and the leads of
    // two-byte sequences -62..-33.
    follow = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(0xC0)))));
    lead = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(0xC1))),
                      _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(0xE0))))));
  }
};
#endif

#if defined(PTSEG_HAVE_MASKED64)
// The same for 64 bytes.
struct Bits64 {
  std::uint64_t high, follow, lead;
  PTSEG_MASKED64 explicit Bits64(__m512i v)
      : high(_mm512_movepi8_mask(v)),
        follow(_mm512_cmplt_epi8_mask(v, _mm512_set1_epi8(-64))),
        lead(_mm512_cmpgt_epi8_mask(v, _mm512_set1_epi8(-63)) &
             _mm512_cmplt_epi8_mask(v, _mm512_set1_epi8(-32))) {}
};
#endif

// The first byte at or after p that is not ASCII, or end.
inline const unsigned char* SkipAscii(const unsigned char* p, const unsigned char* end) {
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    const int mask = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
  }
#else
  for (; end - p >= 8; p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if (word & 0x8080808080808080u) break;
  }
#endif
  while (p < end && *p < 0x80) ++p;
  return p;
}

}  // namespace utf8
}  // namespace ptseg
