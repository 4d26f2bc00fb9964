#include <cstring>

#include "ptseg/text.h"
#include "text/utf8.h"

namespace ptseg {
namespace {

// The length of the whitespace character at p, a valid UTF-8 sequence of
// `length` bytes, or 0.  Whitespace is space, tab, LF, VT, FF, CR, and the
// characters the segmenter reads as a space or a line break
// (U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).  The no-break
// space U+00A0 is not: it binds the words on either side, and the segmenter
// does not read it as a blank either.
int WhitespaceLength(const unsigned char* p, int length) {
  const unsigned char c = p[0];
  if (length == 1) return c == ' ' || (c >= '\t' && c <= '\r') ? 1 : 0;
  if (length != 3 || (c != 0xE2 && c != 0xE3)) return 0;
  if (c == 0xE3) return p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;
  if (p[1] == 0x80) return (p[2] <= 0x8A) || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF ? 3 : 0;
  return p[1] == 0x81 && p[2] == 0x9F ? 3 : 0;
}

// Writes the text of WriteOneLine: runs of bytes that stand as they are
// 16 at a time, and the rest one character at a time.
class LineWriter {
 public:
  LineWriter(const unsigned char* begin, const unsigned char* end, bool from_utf8, char* out)
      : p_(begin), begin_(begin), end_(end), from_utf8_(from_utf8), out_(out), o_(out) {}

  char* Write() {
#if defined(__SSE2__)
    while (end_ - p_ >= 16) {
      if (Block()) continue;
      Char();
    }
    // The last bytes: those of the last 16 from p on, in one vector.
    if (p_ < end_ && end_ - begin_ >= 16) {
      const unsigned char* const last = end_ - 16;
      const auto from = static_cast<unsigned>(p_ - last);
      if (Specials(_mm_loadu_si128(reinterpret_cast<const __m128i*>(last)), from, true) == 0) {
        std::memcpy(o_, p_, static_cast<std::size_t>(end_ - p_));
        o_ += end_ - p_;
        p_ = end_;
      }
    }
#endif
    while (p_ < end_) Char();
    if (o_ != out_ && o_[-1] == ' ') --o_;
    return o_;
  }

 private:
  // Whether a space here would be the line's first byte or follow a space.
  bool Spaced() const { return o_ == out_ || o_[-1] == ' '; }

#if defined(__SSE2__)
  // Flags those of 16 bytes from byte `from` on (the bytes before it are
  // written already) that are not written as they stand: controls, the lead
  // bytes E2 and E3 of the wide spaces, a space after a space, and, in
  // UTF-8, any high byte but those of two-byte sequences (every other
  // character is rare in the languages written with accented letters), and
  // in ISO-8859-1 every high byte.  `last` says the 16 bytes end the text,
  // so that a sequence they cut is cut short.
  unsigned Specials(__m128i bytes, unsigned from, bool last) const {
    const __m128i b = _mm_xor_si128(bytes, _mm_set1_epi8(static_cast<char>(0x80)));
    auto special = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_or_si128(_mm_cmplt_epi8(b, _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80))),
                     _mm_cmpgt_epi8(b, _mm_set1_epi8(static_cast<char>(0xE1 ^ 0x80))))));
    const auto space =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '))));
    const unsigned after = (0xFFFFu << from) & 0xFFFF;
    const unsigned before = ((space << 1) & ~(1u << from)) | (Spaced() ? 1u << from : 0u);
    special |= space & before;
    const utf8::Bits bits(bytes);
    if (from_utf8_) {
      // Leads before `from` are not the text's to read.
      const unsigned lead = bits.lead & after;
      special |= (bits.high & ~(bits.follow | bits.lead)) | (bits.follow ^ ((lead << 1) & 0xFFFF));
      if (last) special |= lead & 0x8000;
    } else {
      special |= bits.high;
    }
    return special & after;
  }

  // Writes the bytes from p_ that stand as they are, up to 16 (the whole
  // vector is stored: the output has room); returns whether there were
  // any.  A cut never splits a two-byte sequence.
  bool Block() {
    const unsigned char* const p = p_;
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned special = Specials(bytes, 0, false);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o_), bytes);
    std::size_t n = 16;
    if (special != 0) n = static_cast<std::size_t>(__builtin_ctz(special));
    if (n > 0 && from_utf8_ && p[n - 1] >= 0xC2 && p[n - 1] < 0xE0) --n;  // its lead too
    o_ += n;
    p_ += n;
    return n != 0;
  }
#endif

  // Writes the character at p_ and moves past it.
  void Char() {
    const unsigned char c = *p_;
    int length = 1;
    if (c >= 0x80) {
      length = from_utf8_ ? utf8::Decode(p_, end_, true).length : 1;
      if (length == 1) {
        // Not its own UTF-8, and never whitespace.
        o_ += utf8::Encode(from_utf8_ ? utf8::Windows1252(c) : c, o_);
        ++p_;
        return;
      }
    }
    if (WhitespaceLength(p_, length) != 0) {
      if (!Spaced()) *o_++ = ' ';
    } else {
      std::memcpy(o_, p_, static_cast<std::size_t>(length));
      o_ += length;
    }
    p_ += length;
  }

  const unsigned char* p_;
  const unsigned char* const begin_;
  const unsigned char* const end_;
  const bool from_utf8_;
  char* const out_;
  char* o_;
};

}  // namespace

char* WriteOneLine(std::string_view bytes, Encoding encoding, char* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  return LineWriter(p, p + bytes.size(), encoding == Encoding::kUtf8, out).Write();
}

}  // namespace ptseg
