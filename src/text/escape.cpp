#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ptseg/text.h"
#include "text/matching_copy.h"
#include "text/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ptseg {
namespace {

const char kReplacementChar[] = "\xEF\xBF\xBD";  // U+FFFD
// Stands in a table for the lead byte of U+FFFE and U+FFFF, which must
// look at the bytes after it.
const char kCheckNonchar[] = "";

// What each byte becomes: nullptr when it is copied.
struct Table {
  std::array<const char*, 256> replace{};
  std::array<std::uint8_t, 256> length{};  // of each replacement; set by Finish()
  // The bytes from 0x20 up that the table changes, repeated to fill the
  // places, so that runs can be checked 16 bytes at a time; set by
  // Finish().  A table that changes more of them is checked byte by byte.
  unsigned char special[5] = {};
  bool special_complete = false;

  Table& Finish() {
    for (int c = 0; c < 256; ++c) {
      length[c] = replace[c] == nullptr ? 0 : static_cast<std::uint8_t>(std::strlen(replace[c]));
    }
    int n = 0;
    for (int c = 0x20; c < 256; ++c) {
      if (replace[c] == nullptr) continue;
      if (n < 5) special[n] = static_cast<unsigned char>(c);
      ++n;
    }
    special_complete = n > 0 && n <= 5;
    for (int i = n; i < 5; ++i) special[i] = special[0];
    return *this;
  }
};

// The first byte at or after p that the table may change, or end; the
// string starts at `begin`.  Most text has long runs of bytes that need
// nothing.
const char* SkipPlain(const char* begin, const char* p, const char* end, const Table& table) {
#if defined(__SSE2__)
  if (table.special_complete) {
    const __m128i last_control = _mm_set1_epi8(0x1F);
    __m128i specials[5];
    for (int i = 0; i < 5; ++i) {
      specials[i] = _mm_set1_epi8(static_cast<char>(table.special[i]));
    }
    const auto changed = [&](const char* at) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
      __m128i hit = _mm_cmpeq_epi8(_mm_min_epu8(v, last_control), v);
      for (const __m128i& special : specials) {
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, special));
      }
      return static_cast<unsigned>(_mm_movemask_epi8(hit));
    };
    for (; end - p >= 16; p += 16) {
      const unsigned mask = changed(p);
      if (mask != 0) return p + __builtin_ctz(mask);
    }
    if (p < end && end - begin >= 16) {
      // The last 16 bytes of the string, of which those before p are
      // known already.
      const unsigned mask = changed(end - 16) >> (16 - (end - p));
      return mask != 0 ? p + __builtin_ctz(mask) : end;
    }
  }
#endif
  while (p < end && table.replace[static_cast<unsigned char>(*p)] == nullptr) {
    ++p;
  }
  return p;
}

void Escape(std::string_view in, const Table& table, std::string* out) {
  const char* p = in.data();
  const char* const end = p + in.size();
  const char* run = p;
  while ((p = SkipPlain(in.data(), p, end, table)) < end) {
    const char* replacement = table.replace[static_cast<unsigned char>(*p)];
    std::size_t length = 1;
    if (replacement == kCheckNonchar) {
      // EF BF BE and EF BF BF are U+FFFE and U+FFFF.
      if (end - p >= 3 && p[1] == '\xBF' && (p[2] == '\xBE' || p[2] == '\xBF')) {
        replacement = kReplacementChar;
        length = 3;
      } else {
        replacement = nullptr;
      }
    }
    if (replacement == nullptr) {
      ++p;
      continue;
    }
    out->append(run, p - run);
    out->append(replacement);
    p += length;
    run = p;
  }
  out->append(run, end - run);
}

// Control characters XML cannot hold become U+FFFD, as do U+FFFE/U+FFFF.
Table XmlTable() {
  Table table;
  for (int c = 0; c < 0x20; ++c) table.replace[c] = kReplacementChar;
  table.replace['\t'] = table.replace['\n'] = table.replace['\r'] = nullptr;
  table.replace[0xEF] = kCheckNonchar;
  return table;
}

// JSON escapes control characters, " and \.
const Table& JsonTable() {
  static const Table table = [] {
    static char hex[0x20][7];
    Table t;
    for (int c = 0; c < 0x20; ++c) {
      std::snprintf(hex[c], sizeof hex[c], "\\u%04X", c);
      t.replace[c] = hex[c];
    }
    t.replace['\b'] = "\\b";
    t.replace['\f'] = "\\f";
    t.replace['\n'] = "\\n";
    t.replace['\r'] = "\\r";
    t.replace['\t'] = "\\t";
    t.replace['"'] = "\\\"";
    t.replace['\\'] = "\\\\";
    return t.Finish();
  }();
  return table;
}

// One character of a JSON string at p, not in a block: escaped, decoded
// or copied.
inline void JsonChar(const Table& table, bool from_utf8, const unsigned char*& p,
                     const unsigned char* end, char*& out) {
  const unsigned char byte = *p;
  if (byte < 0x80) {
    if (const char* replacement = table.replace[byte]) {
      std::memcpy(out, replacement, table.length[byte]);
      out += table.length[byte];
    } else {
      *out++ = static_cast<char>(byte);
    }
    ++p;
    return;
  }
  if (from_utf8) {
    const utf8::Char c = utf8::Decode(p, end, true);
    if (c.length > 1) {
      std::memcpy(out, p, static_cast<std::size_t>(c.length));
      out += c.length;
      p += c.length;
      return;
    }
  }
  out += utf8::Encode(from_utf8 ? utf8::Windows1252(byte) : byte, out);
  ++p;
}

#if defined(__SSE2__)
// What a JSON string needs to know of a block of 16 bytes, a bit a byte
// from the lowest: controls, " and \ (special), bytes from 0x80 up
// (high), continuation bytes (follow) and the leads of two-byte UTF-8
// sequences, the accented letters of most languages (lead).
struct BlockBits {
  unsigned special, high, follow, lead;
};

inline BlockBits Bits16(__m128i v) {
  const __m128i special =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v),
                                _mm_cmpeq_epi8(v, _mm_set1_epi8('"'))),
                   _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
  const utf8::Bits bits(v);
  return {static_cast<unsigned>(_mm_movemask_epi8(special)), bits.high, bits.follow, bits.lead};
}

// The bytes of a block that do not go into the string as they are: the
// special ones, and, from UTF-8, high bytes but the leads and the
// continuations of two-byte sequences that are whole (from ISO-8859-1,
// all high bytes).  `lead_before` tells whether the byte before the block
// leads a two-byte sequence, `follow_after` whether the byte after it is a
// continuation byte.
inline unsigned BadBytes(const BlockBits& b, bool from_utf8, unsigned lead_before,
                         unsigned follow_after) {
  if (!from_utf8) return b.special | b.high;
  const unsigned led = ((b.lead << 1) | lead_before) & 0xFFFF;
  const unsigned followed = (b.follow >> 1) | (follow_after << 15);
  return b.special | (b.high & ~(b.follow | b.lead)) | (b.follow & ~led) | (b.lead & ~followed);
}

inline unsigned IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80 ? 1 : 0; }

// Copies n (0 to 15) bytes from p to out, in a few moves.
inline void CopyShort(const unsigned char* p, std::size_t n, char* out) {
  if (n >= 8) {
    std::uint64_t first, last;
    std::memcpy(&first, p, 8);
    std::memcpy(&last, p + n - 8, 8);
    std::memcpy(out, &first, 8);
    std::memcpy(out + n - 8, &last, 8);
  } else if (n >= 4) {
    std::uint32_t first, last;
    std::memcpy(&first, p, 4);
    std::memcpy(&last, p + n - 4, 4);
    std::memcpy(out, &first, 4);
    std::memcpy(out + n - 4, &last, 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>(p[i]);
  }
}

// WriteJsonString, 16 bytes at a time.  Each block is stored whole (out
// has room for it); where all of it goes in as it is, as most blocks of
// text do, the next one follows, else the bytes up to the first that does
// not are kept and that character goes by itself.  The last bytes of a
// string of 16 or more are read as its last 16, those before them left
// out.
char* JsonBlocks(const Table& table, bool from_utf8, const unsigned char* p,
                 const unsigned char* end, char* out) {
  const unsigned char* const begin = p;
  const unsigned char* plain = begin;  // from here on, bytes went in as they are
  unsigned lead_before = 0;            // whether the byte before p leads a sequence
  while (p < end) {
    while (end - p > 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
      const BlockBits b = Bits16(v);
      const unsigned bad = BadBytes(b, from_utf8, lead_before, IsContinuation(p[16]));
      if (bad != 0) {
        const auto clean = static_cast<std::size_t>(__builtin_ctz(bad));
        out += clean;
        p += clean;
        // A lead kept has its continuation kept too.
        if (clean != 0) lead_before = 0;
        break;
      }
      lead_before = from_utf8 ? b.lead >> 15 : 0;
      out += 16;
      p += 16;
    }
    if (p < end && end - p <= 16 && end - begin >= 16) {
      // Stored whole where the bytes before p went in as they are.
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
      const auto skip = static_cast<unsigned>(16 - (end - p));
      const unsigned bad = BadBytes(Bits16(v), from_utf8, lead_before, 0) >> skip;
      const auto clean = static_cast<std::size_t>(__builtin_ctz(bad | 1u << (16 - skip)));
      if (plain <= end - 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out - skip), v);
      } else {
        CopyShort(p, clean, out);
      }
      out += clean;
      p += clean;
    }
    if (p < end) {
      JsonChar(table, from_utf8, p, end, out);
      plain = p;
      lead_before = 0;  // a character read by itself is whole
    }
  }
  return out;
}
#endif

#if defined(PTSEG_HAVE_MASKED64)
// JsonBlocks 64 bytes at a time, read and written by a mask of the bytes
// that belong to the string: the text of most sentences goes in in one
// step, with no byte touched past either end.  The bytes are judged as
// there (BadBytes), with masks of 64 bits.
PTSEG_MASKED64 char* JsonBlocks64(const Table& table, bool from_utf8, const unsigned char* p,
                                  const unsigned char* end, char* out) {
  std::uint64_t lead_before = 0;  // whether the byte before p leads a sequence
  while (p < end) {
    const auto left = static_cast<std::uint64_t>(end - p);
    const __mmask64 in = _bzhi_u64(~std::uint64_t{0}, left < 64 ? static_cast<unsigned>(left) : 64);
    const __m512i v = _mm512_maskz_loadu_epi8(in, p);
    const std::uint64_t special = _mm512_cmple_epu8_mask(v, _mm512_set1_epi8(0x1F)) |
                                  _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('"')) |
                                  _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\\'));
    const utf8::Bits64 bits(v);
    const std::uint64_t lead = from_utf8 ? bits.lead : 0;
    std::uint64_t bad = special | bits.high;
    if (from_utf8) {
      const std::uint64_t follow_after = left > 64 ? IsContinuation(p[64]) : 0;
      const std::uint64_t led = (lead << 1) | lead_before;
      const std::uint64_t followed = (bits.follow >> 1) | (follow_after << 63);
      bad =
          special | (bits.high & ~(bits.follow | lead)) | (bits.follow & ~led) | (lead & ~followed);
    }
    bad &= in;
    if (bad == 0) {
      _mm512_mask_storeu_epi8(out, in, v);
      const std::uint64_t n = left < 64 ? left : 64;
      out += n;
      p += n;
      lead_before = lead >> 63;
      continue;
    }
    // The bytes before the first that does not go in as it is, then that
    // character by itself.
    const auto clean = static_cast<unsigned>(__builtin_ctzll(bad));
    _mm512_mask_storeu_epi8(out, _bzhi_u64(~std::uint64_t{0}, clean), v);
    out += clean;
    p += clean;
    JsonChar(table, from_utf8, p, end, out);
    lead_before = 0;
  }
  return out;
}
#endif

}  // namespace

void AppendXmlChars(std::string_view utf8, std::string* out) {
  static const Table table = XmlTable().Finish();
  Escape(utf8, table, out);
}

void AppendXmlEscaped(std::string_view utf8, XmlPlace place, std::string* out) {
  static const Table text = [] {
    Table t = XmlTable();
    t.replace['&'] = "&amp;";
    t.replace['<'] = "&lt;";
    t.replace['>'] = "&gt;";
    t.replace['\r'] = "&#13;";
    return t.Finish();
  }();
  static const Table attribute = [] {
    Table t = text;
    t.replace['"'] = "&quot;";
    t.replace['\t'] = "&#9;";
    t.replace['\n'] = "&#10;";
    return t.Finish();
  }();
  Escape(utf8, place == XmlPlace::kText ? text : attribute, out);
}

void AppendJsonEscaped(std::string_view utf8, std::string* out) { Escape(utf8, JsonTable(), out); }

char* WriteJsonString(std::string_view bytes, Encoding encoding, char* out) {
  const Table& table = JsonTable();
  const bool from_utf8 = encoding == Encoding::kUtf8;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
#if defined(PTSEG_HAVE_MASKED64)
  if (MaskedBlocks64()) return JsonBlocks64(table, from_utf8, p, end, out);
#endif
#if defined(__SSE2__)
  return JsonBlocks(table, from_utf8, p, end, out);
#else
  while (p < end) JsonChar(table, from_utf8, p, end, out);
  return out;
#endif
}

}  // namespace ptseg
