#include "text/matching_copy.h"

#include <algorithm>
#include <cstring>

#include "text/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define PTSEG_HAVE_COMPRESS_PATH 1
#endif

namespace ptseg {
namespace {

// A cluster (see latin1_map.h) stops growing at this many characters even
// if NFC might still join the next one to it, so that what is kept back
// stays small.  Only text of over a thousand combining marks or Hangul
// jamo in a row reaches it; there, and only there, the copy may differ
// from converting the whole text at once.
constexpr std::size_t kMaxClusterChars = 1024;

// A byte below this starts a character below U+0300 or is read alone as
// one below U+0100; either way a cluster starts there.
constexpr unsigned char kFirstJoiningLead = 0xCC;

// The output has this much room past what the rest of the input gives in
// the fast paths, for the 16-byte stores of the ASCII loop.
constexpr std::size_t kSlack = 16;

// Code that counts bits is also compiled for processors with a popcount
// instruction, chosen when the program loads: without it, the compiler's
// builtin becomes a library call.  (Not under the thread sanitizer, whose
// checks in the code that chooses would run before its runtime is ready.)
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define PTSEG_WITH_POPCOUNT __attribute__((target_clones("popcnt", "default")))
#else
#define PTSEG_WITH_POPCOUNT
#endif

// Copies the ASCII bytes from p on to dst, which has room for 16 bytes
// more than the input has from p; returns the first byte that is not
// ASCII, or end.
const unsigned char* CopyAscii(const unsigned char* p, const unsigned char* end, char* dst) {
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16, dst += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v);
    const int mask = _mm_movemask_epi8(v);
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
  }
#else
  for (; end - p >= 8; p += 8, dst += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if (word & 0x8080808080808080u) break;
    std::memcpy(dst, &word, 8);
  }
#endif
  while (p < end && *p < 0x80) *dst++ = static_cast<char>(*p++);
  return p;
}

#if defined(__SSE2__)
// A bit for each byte of p[0..64) that is not ASCII.
std::uint64_t HighBits64(const unsigned char* p) {
  auto bits = [p](int i) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    return std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(v))} << i;
  };
  return bits(0) | bits(16) | bits(32) | bits(48);
}

void Copy64(char* dst, const unsigned char* src) {
  const auto* from = reinterpret_cast<const __m128i*>(src);
  auto* to = reinterpret_cast<__m128i*>(dst);
  const __m128i a = _mm_loadu_si128(from), b = _mm_loadu_si128(from + 1);
  const __m128i c = _mm_loadu_si128(from + 2), d = _mm_loadu_si128(from + 3);
  _mm_storeu_si128(to, a);
  _mm_storeu_si128(to + 1, b);
  _mm_storeu_si128(to + 2, c);
  _mm_storeu_si128(to + 3, d);
}
#endif

// Whether p holds a letter of ISO-8859-1 in two bytes (not a C1 control)
// followed by a byte that starts a cluster.
bool IsTwoByteLetter(const unsigned char* p) {
  return (p[0] == 0xC3 || (p[0] == 0xC2 && p[1] >= 0xA0)) && (p[1] & 0xC0) == 0x80 &&
         p[2] < kFirstJoiningLead;
}

bool blocks_allowed = true;

#if defined(PTSEG_HAVE_COMPRESS_PATH)
// Whether the processor can move bytes together by a mask in one step
// (AVX-512 VBMI2), and pick out bits by one (BMI2).
bool CanCompress() {
  static const bool can = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2") &&
           __builtin_cpu_supports("bmi2");
  }();
  return can && blocks_allowed;
}
#endif

}  // namespace

void AllowConversionBlocks(bool allow) { blocks_allowed = allow; }

bool MaskedBlocks64() {
#if defined(PTSEG_HAVE_MASKED64)
  static const bool can = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("bmi2");
  }();
  return can && blocks_allowed;
#else
  return false;
#endif
}

void MatchingCopy::Feed(const char* data, std::size_t size, ByteBuffer* out) {
  std::size_t taken = 0;
  // The bytes kept back need the ones after them: convert them together,
  // taking more new bytes each round, until the kept bytes are converted.
  while (!held_.empty() && taken < size) {
    const std::size_t old = held_.size();
    const std::size_t n = std::min(size - taken, std::max<std::size_t>(64, old));
    held_.append(data + taken, n);
    taken += n;
    const std::size_t used =
        Convert(reinterpret_cast<const unsigned char*>(held_.data()), held_.size(), false, out);
    if (used >= old) {
      taken -= held_.size() - used;  // the rest is still in data
      held_.clear();
    } else {
      held_.erase(0, used);
    }
  }
  if (held_.empty()) {
    const std::size_t used =
        Convert(reinterpret_cast<const unsigned char*>(data) + taken, size - taken, false, out);
    held_.assign(data + taken + used, size - taken - used);
  }
}

void MatchingCopy::Finish(ByteBuffer* out) {
  Convert(reinterpret_cast<const unsigned char*>(held_.data()), held_.size(), true, out);
  held_.clear();
}

void MatchingCopy::Restart() {
  held_.clear();
  converted_ = produced_ = forgotten_ = 0;
  cluster_.clear();
  cluster_text_.clear();
  resume_ = ready_ = 0;
  decoded_ = 0;
  runs_.assign(1, Run{0, 0, false});
  first_run_ = 0;
  extras_.clear();
  extra_base_ = 0;
  before_.clear();
  cursor_run_ = 0;
  cursor_known_ = false;
}

// Whether an ASCII character is the first of a canonical composition: the
// letters, and < = > (with a combining long solidus overlay).  NFC never
// joins anything to the others.
constexpr bool MayCompose(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '<' || c == '=' || c == '>';
}

// Converts whole clusters from the start of the data and returns the bytes
// converted.  Unless at_end, the last cluster is kept back, since what
// follows may still belong to it.
std::size_t MatchingCopy::Convert(const unsigned char* begin, std::size_t size, bool at_end,
                                  ByteBuffer* out) {
  const unsigned char* p = begin;
  const unsigned char* const end = begin + size;
  ready_ = 0;
  if (resume_ != 0) {
    // The cluster at begin was left unfinished: read on from where the
    // last call stopped, and keep it back again, at no cost for the bytes
    // before, if it still is.
    const unsigned char* next = begin;
    if (!ConvertCluster(next, end, at_end, &cluster_text_)) return 0;
    ready_ = static_cast<std::size_t>(next - begin);
  }
  out->resize(out->size() + size + kSlack);
  char* first = out->data();  // moves when *out grows
  char* dst = first + out->size() - size - kSlack;
  // The matching offset of dst is m_first + (dst - first).
  const std::uint64_t m_first = produced_ - (dst - first);
  while (p < end) {
#if defined(__SSE2__)
    ConvertWindows(p, end, dst, m_first + (dst - first));
#endif
    if (*p < 0x80) {
      const unsigned char* q = CopyAscii(p, end, dst);
      dst += q - p;
      p = q;
      if (p == end) {
        // Marks that may follow could join the last character to another,
        // unless nothing composes with it: a line feed, a blank or a full
        // stop goes now, so a line is answered as soon as it is decided.
        if (!at_end && MayCompose(p[-1])) --p, --dst;
        break;
      }
      if (*p < kFirstJoiningLead) continue;
      --p, --dst;  // the marks that follow may belong to the last character
    } else if (end - p > 2 && IsTwoByteLetter(p)) {
      SetExtra(m_first + (dst - first), 1);
      *dst++ = static_cast<char>(((p[0] & 0x1F) << 6) | (p[1] & 0x3F));
      p += 2;
      continue;
    } else if (p[0] >= 0xA0 && end - p > 1 && p[1] < kFirstJoiningLead &&
               utf8::Decode(p, end, at_end).length == 1) {
      // A byte of ISO-8859-1 text, not valid UTF-8, alone in its cluster.
      *dst++ = static_cast<char>(*p++);
      continue;
    }
    const unsigned char* next = p;
    if (ready_ != 0 && p == begin) {
      next += ready_;  // converted above
    } else if (!ConvertCluster(next, end, at_end, &cluster_text_)) {
      break;
    }
    ready_ = 0;
    const std::size_t count = cluster_text_.size();
    const std::size_t used = dst - first;
    const std::size_t room = (end - next) + kSlack + count;
    if (out->size() - used < room) out->resize(used + room);
    first = out->data();
    dst = first + used;
    Record(m_first + used, converted_ + (p - begin), converted_ + (next - begin), count);
    std::memcpy(dst, cluster_text_.data(), count);
    dst += count;
    p = next;
  }
  produced_ = m_first + (dst - first);
  out->resize(dst - first);
  converted_ += p - begin;
  return p - begin;
}

#if defined(__SSE2__)
// Converts the bulk of Portuguese text, ASCII with a two-byte letter every
// 40 bytes or so, from p on; stops where 130 bytes are left or at any
// other character, with p and dst past what it converted.  m is the
// matching offset of dst.
void MatchingCopy::ConvertWindows(const unsigned char*& p, const unsigned char* end, char*& dst,
                                  std::uint64_t m) {
#if defined(PTSEG_HAVE_COMPRESS_PATH)
  if (CanCompress()) {
    ConvertBlocks(p, end, dst, m);
    return;
  }
#endif
  const char* const dst_at_m = dst;
  while (end - p >= 130 && ConvertWindow(p, dst, m + (dst - dst_at_m))) {
  }
}

// Converts the window of 64 bytes at p, or up to the first character it
// leaves to the caller (false).
//
// The window is copied whole and then its letters converted, each with the
// same branch: a loop that stopped at each letter to copy the ASCII between
// would be mispredicted there, which costs as much as all the rest.  Each
// 64-byte copy may run past what it keeps (the next one overwrites it), so
// the window must be followed by 64 more bytes.
bool MatchingCopy::ConvertWindow(const unsigned char*& p_ref, char*& dst_ref, std::uint64_t m) {
  // In locals, which stores to the output cannot change.
  const unsigned char* const p = p_ref;
  char* dst = dst_ref;
  const char* const dst_at_m = dst;
  ExtraBits* marks = extras_.data();
  std::uint64_t base = extra_base_, size = extras_.size();
  std::uint64_t high = HighBits64(p);
  const unsigned char* src = p;  // the next byte to copy
  const unsigned char* q = p + 64;
  while (high != 0) {
    q = p + __builtin_ctzll(high);
    if (IsTwoByteLetter(q)) {
      Copy64(dst, src);
      dst += q - src;
      const std::uint64_t at = m + (dst - dst_at_m);
      if ((at >> 6) - base >= size) {
        GrowExtras(at);
        marks = extras_.data();
        base = extra_base_;
        size = extras_.size();
      }
      marks[(at >> 6) - base].one |= std::uint64_t{1} << (at & 63);
      *dst++ = static_cast<char>(((q[0] & 0x1F) << 6) | (q[1] & 0x3F));
      src = q + 2;
      // Its two bits, the second of which may lie past the window.
      high &= high - 1;
      high &= high - 1;
    } else if (q[0] >= 0xA0 && q[1] < 0x80) {
      // ISO-8859-1 text: a letter that is not valid as UTF-8.
      Copy64(dst, src);
      dst += q - src;
      *dst++ = static_cast<char>(*q);
      src = q + 1;
      high &= high - 1;
    } else {
      break;
    }
  }
  Copy64(dst, src);
  if (high == 0) q = std::max(p + 64, src);
  // An ASCII character before what may be a combining mark is left to
  // the cluster of the mark.
  if (q > src && *q >= kFirstJoiningLead) --q;
  dst += q - src;
  p_ref = q;
  dst_ref = dst;
  return high == 0;
}
#endif

#if defined(PTSEG_HAVE_COMPRESS_PATH)
// Converts blocks of 64 bytes from p on, each at once, as long as every
// byte in them above ASCII belongs to a letter of ISO-8859-1 in two bytes
// that is not followed by what may be a combining mark (the block takes
// the second byte of one at its end from the next), or is such a letter
// in one byte before ASCII; stops where 130 bytes are left or, having
// converted what comes before, at a character it leaves to the caller.  m
// is the matching offset of dst.
//
// Each letter becomes one byte in place of its first, and the bytes kept
// are moved together by their mask: no branch depends on where the letters
// are, and each block is 64 bytes, so that the next one's loads need not
// wait for this one's letters.
__attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2,popcnt"))) void
MatchingCopy::ConvertBlocks(const unsigned char*& p_ref, const unsigned char* end, char*& dst_ref,
                            std::uint64_t m) {
  const unsigned char* p = p_ref;
  char* dst = dst_ref;
  const char* const dst_at_m = dst;
  // In locals, which stores to the output cannot change.
  ExtraBits* marks = extras_.data();
  std::uint64_t base = extra_base_, size = extras_.size();
  // Whether the block's first byte is the second of a letter converted
  // with the block before.
  std::uint64_t carried = 0;
#define PTSEG_SET1(byte) _mm512_set1_epi8(static_cast<char>(byte))
  while (end - p >= 130) {
    const __m512i bytes = _mm512_loadu_si512(p), next = _mm512_loadu_si512(p + 1);
    const __m512i after = _mm512_loadu_si512(p + 2);
    // C3 and a continuation byte, or C2 and one from A0 on, followed by a
    // byte below kFirstJoiningLead.
    const __mmask64 continued =
        _mm512_cmpeq_epi8_mask(_mm512_and_si512(next, PTSEG_SET1(0xC0)), PTSEG_SET1(0x80));
    const __mmask64 from_a0 =
        _mm512_cmpeq_epi8_mask(_mm512_and_si512(next, PTSEG_SET1(0xE0)), PTSEG_SET1(0xA0));
    const std::uint64_t leads = ((_mm512_cmpeq_epi8_mask(bytes, PTSEG_SET1(0xC3)) & continued) |
                                 (_mm512_cmpeq_epi8_mask(bytes, PTSEG_SET1(0xC2)) & from_a0)) &
                                _mm512_cmplt_epu8_mask(after, PTSEG_SET1(kFirstJoiningLead));
    const std::uint64_t seconds = leads << 1 | carried;
    // ISO-8859-1 text: a letter from A0 on before ASCII, not valid as
    // UTF-8, which stays as it is.
    const std::uint64_t alone = _mm512_cmpge_epu8_mask(bytes, PTSEG_SET1(0xA0)) &
                                _mm512_cmplt_epu8_mask(next, PTSEG_SET1(0x80));
    const std::uint64_t odd = _mm512_movepi8_mask(bytes) & ~(leads | seconds | alone);
    // The bytes before the first character left to the caller, if any,
    // and before an ASCII character that what may be a combining mark
    // follows: that mark's cluster may take it.
    unsigned length = 64;
    if (odd != 0 || p[64] >= kFirstJoiningLead) {
      length = odd != 0 ? static_cast<unsigned>(__builtin_ctzll(odd)) : 64;
      if (length > 0 && p[length] >= kFirstJoiningLead && p[length - 1] < 0x80) --length;
    }
    const std::uint64_t taken = length < 64 ? (std::uint64_t{1} << length) - 1 : ~std::uint64_t{0};
    // A letter's byte in place of its first byte, the second dropped.
    const __m512i value =
        _mm512_or_si512(_mm512_slli_epi16(_mm512_and_si512(bytes, PTSEG_SET1(0x03)), 6),
                        _mm512_and_si512(next, PTSEG_SET1(0x3F)));
    const std::uint64_t kept = ~seconds & taken;
    _mm512_storeu_si512(
        dst, _mm512_maskz_compress_epi8(kept, _mm512_mask_blend_epi8(leads, bytes, value)));
    // The letters' extra bytes, as bits from the block's first matching
    // offset on (those of leads not taken fall out with their bytes).
    const std::uint64_t at = m + (dst - dst_at_m);
    const std::uint64_t bits = _pext_u64(leads, kept);
    std::uint64_t word = (at >> 6) - base;
    if (word + 1 >= size && leads != 0) {
      if (size == 0) GrowExtras(at);
      GrowExtras(at + 64);
      marks = extras_.data();
      base = extra_base_;
      size = extras_.size();
      word = (at >> 6) - base;
    }
    if (word + 1 < size) {  // else there is no letter, nor a word for one
      const unsigned shift = at & 63;
      marks[word].one |= bits << shift;
      marks[word + 1].one |= (bits >> 1) >> (63 - shift);
    }
    dst += __builtin_popcountll(kept);
    if (length < 64) {  // no letter reaches past the bytes taken
      p += length;
      carried = 0;
      break;
    }
    carried = leads >> 63;
    p += 64;
  }
#undef PTSEG_SET1
  p_ref = p + carried;
  dst_ref = dst;
}
#endif

// Reads the cluster at p, puts what it becomes in *text and moves p past
// it.  Returns false, leaving p, if the data ends before the cluster is
// known to be complete.
bool MatchingCopy::ConvertCluster(const unsigned char*& p, const unsigned char* end, bool at_end,
                                  std::string* text) {
  const unsigned char* q = p;
  utf8::Char c;
  // Where a cluster cut short by the end of the data stopped (see resume_).
  const auto stopped = [&] {
    resume_ = static_cast<std::size_t>(q - p);
    return false;
  };
  if (resume_ != 0) {
    // cluster_ holds the characters of the first resume_ bytes at p.
    q += resume_;
    resume_ = 0;
  } else {
    c = utf8::Decode(q, end, at_end);
    ++decoded_;
    if (c.length == 0) return false;
    q += c.length;
    cluster_.assign(1, c.cp);
  }
  // A character that becomes nothing is a cluster alone, so that the bytes
  // of the next character are not said to come from it.  That changes
  // nothing in the copy: such a character is a combining mark, a
  // zero-width or direction mark or an undefined C1 control, and NFC
  // composes none of them with what follows.  So is an ASCII character
  // that nothing composes with (see MayCompose), so that it can go before
  // what follows it is known.
  const char32_t first = cluster_[0];
  if (!map_.Lookup(first).text.empty() && (first >= 0x80 || MayCompose(first))) {
    while (cluster_.size() < kMaxClusterChars) {
      if (q == end) {
        if (!at_end) return stopped();
        break;
      }
      c = utf8::Decode(q, end, at_end);
      ++decoded_;
      // A character cut short by the end of the data still starts a new
      // cluster if its first byte says so (see kFirstJoiningLead): this
      // one goes now, as it does when the data holds all of the next.
      if (c.length == 0 && *q < kFirstJoiningLead) break;
      if (c.length == 0) return stopped();
      if (map_.Lookup(c.cp).starts_cluster) break;
      cluster_.push_back(c.cp);
      q += c.length;
    }
  }
  text->clear();
  if (cluster_.size() == 1) {
    *text = map_.Lookup(cluster_[0]).text;
  } else {
    map_.AppendCluster(cluster_.data(), cluster_.size(), text);
  }
  p = q;
  return true;
}

// Records that the `count` matching bytes from m come from the cluster at
// stream offsets [start, end).
void MatchingCopy::Record(std::uint64_t m, std::uint64_t start, std::uint64_t end,
                          std::size_t count) {
  const std::uint64_t length = end - start;
  if (count == 1 && length <= 4) {
    if (length > 1) SetExtra(m, static_cast<unsigned>(length - 1));
  } else if (count == 0) {
    AddRun(m, end, false);
  } else {
    if (count > 1) AddRun(m, start, true);
    AddRun(m + count, end, false);
  }
}

void MatchingCopy::AddRun(std::uint64_t m, std::uint64_t input, bool pinned) {
  Run& last = runs_.back();
  if (last.m == m) {
    // The last run is empty (only a flowing run can be): replace it.
    last.input = input;
    last.pinned = pinned;
    return;
  }
  runs_.push_back(Run{m, input, pinned});
}

void MatchingCopy::SetExtra(std::uint64_t m, unsigned extra) {
  if (extras_.empty() || (m >> 6) - extra_base_ >= extras_.size()) {
    GrowExtras(m);
  }
  ExtraBits& bits = extras_[(m >> 6) - extra_base_];
  const std::uint64_t bit = std::uint64_t{1} << (m & 63);
  if (extra & 1) bits.one |= bit;
  if (extra & 2) bits.two |= bit;
}

void MatchingCopy::GrowExtras(std::uint64_t m) {
  if (extras_.empty()) {
    extra_base_ = m >> 6;
    before_.clear();
    cursor_known_ = false;
  }
  // Words past those set so far are zero; grow by many at a time.
  const std::size_t words = (m >> 6) - extra_base_ + 1;
  extras_.resize(std::max(words, 2 * extras_.size()));
}

// The extra stream bytes of the matching bytes before m, m no more than
// produced_, counted from where before_ starts: only differences count.
inline std::uint64_t MatchingCopy::ExtrasBefore(std::uint64_t m) const {
  const auto count = [](const ExtraBits& bits, std::uint64_t mask) {
    return static_cast<std::uint64_t>(__builtin_popcountll(bits.one & mask)) +
           2 * static_cast<std::uint64_t>(__builtin_popcountll(bits.two & mask));
  };
  // Outside the words kept, no byte has extra bytes.
  std::size_t word = 0;
  std::uint64_t below = 0;  // the bits of bytes before m in its word
  if (m >= extra_base_ << 6) {
    word = std::min<std::uint64_t>((m >> 6) - extra_base_, extras_.size());
    if (word < extras_.size()) below = (std::uint64_t{1} << (m & 63)) - 1;
  }
  // The words before that of m hold bytes before m, all produced: final.
  while (before_.size() <= word) {
    const std::size_t w = before_.size();
    before_.push_back(w == 0 ? 0 : before_[w - 1] + count(extras_[w - 1], ~std::uint64_t{0}));
  }
  return before_[word] + (below != 0 ? count(extras_[word], below) : 0);
}

PTSEG_WITH_POPCOUNT std::uint64_t MatchingCopy::Origin(std::uint64_t m) const {
  m = std::min(std::max(m, forgotten_), produced_);
  const std::size_t was = cursor_run_;
  if (m < runs_[cursor_run_].m) {
    // An earlier offset than last time: find its run again.
    auto later =
        std::upper_bound(runs_.begin() + first_run_, runs_.end(), m,
                         [](std::uint64_t value, const Run& run) { return value < run.m; });
    cursor_run_ = (later - runs_.begin()) - 1;
  }
  while (cursor_run_ + 1 < runs_.size() && runs_[cursor_run_ + 1].m <= m) ++cursor_run_;
  const Run& run = runs_[cursor_run_];
  if (run.pinned) return run.input;
  if (cursor_run_ != was || !cursor_known_) {
    cursor_before_ = ExtrasBefore(run.m);
    cursor_known_ = true;
  }
  return run.input + (m - run.m) + ExtrasBefore(m) - cursor_before_;
}

void MatchingCopy::Forget(std::uint64_t m) {
  m = std::min(std::max(m, forgotten_), produced_);
  const std::uint64_t input = Origin(m);
  Run& run = runs_[cursor_run_];
  if (!run.pinned) {
    // The run now starts at m, so nothing before m is needed to go on.
    run.m = m;
    run.input = input;
  }
  forgotten_ = m;
  first_run_ = cursor_run_;
  cursor_known_ = false;  // the run starts elsewhere, and the counts may too
  // What is dropped is erased once it is at least as much as what is
  // kept, so each entry is moved at most once on average.
  if (first_run_ * 2 >= runs_.size()) {
    runs_.erase(runs_.begin(), runs_.begin() + first_run_);
    cursor_run_ -= first_run_;
    first_run_ = 0;
  }
  const std::uint64_t keep = m >> 6;
  if (keep > extra_base_) {
    const std::uint64_t drop = keep - extra_base_;
    if (drop >= extras_.size()) {
      extras_.clear();
      before_.clear();
    } else if (drop * 2 >= extras_.size()) {
      extras_.erase(extras_.begin(), extras_.begin() + drop);
      // Counts from the new first word on differ from the old by the same.
      before_.erase(before_.begin(), before_.begin() + std::min<std::size_t>(drop, before_.size()));
    } else {
      return;
    }
    extra_base_ = keep;
  }
}

}  // namespace ptseg
