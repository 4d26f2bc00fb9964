#include "engine/search.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define PTSEG_HAVE_AVX2_PATH 1
#endif

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace ptseg::search {
namespace {

// The compares of one vector with each byte of a set are unrolled, so that
// the set stays in registers.
#if defined(__GNUC__) && !defined(__clang__)
#define PTSEG_UNROLL _Pragma("GCC unroll 16")
#elif defined(__clang__)
#define PTSEG_UNROLL _Pragma("unroll")
#else
#define PTSEG_UNROLL
#endif

#ifndef __SSE2__
std::uint64_t MaskByByte(const unsigned char* p, const ByteSet& set) {
  std::uint64_t bits = 0;
  for (int i = 0; i < 64; ++i) {
    if (std::find(set.bytes, set.bytes + kMaxBytes, p[i]) != set.bytes + kMaxBytes) {
      bits |= std::uint64_t{1} << i;
    }
  }
  return bits;
}
#endif

template <int n>
const unsigned char* FindByByte(const unsigned char* p, const unsigned char* end,
                                const ByteSet& set) {
  for (; p < end; ++p) {
    for (int i = 0; i < n; ++i) {
      if (*p == set.bytes[i]) return p;
    }
  }
  return end;
}

#ifdef __SSE2__
template <int n>
const unsigned char* FindSse2(const unsigned char* p, const unsigned char* end,
                              const ByteSet& set) {
  __m128i wanted[n];
  PTSEG_UNROLL for (int i = 0; i < n; ++i) wanted[i] =
      _mm_set1_epi8(static_cast<char>(set.bytes[i]));
  for (; p < end; p += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hits = _mm_cmpeq_epi8(bytes, wanted[0]);
    PTSEG_UNROLL for (int i = 1; i < n; ++i) hits =
        _mm_or_si128(hits, _mm_cmpeq_epi8(bytes, wanted[i]));
    const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (bits != 0) return std::min(p + __builtin_ctz(bits), end);
  }
  return end;
}

template <int n>
std::uint64_t MaskSse2(const unsigned char* p, const ByteSet& set) {
  __m128i wanted[n];
  PTSEG_UNROLL for (int i = 0; i < n; ++i) wanted[i] =
      _mm_set1_epi8(static_cast<char>(set.bytes[i]));
  std::uint64_t bits = 0;
  PTSEG_UNROLL for (int part = 0; part < 4; ++part) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part));
    __m128i hits = _mm_cmpeq_epi8(bytes, wanted[0]);
    PTSEG_UNROLL for (int i = 1; i < n; ++i) hits =
        _mm_or_si128(hits, _mm_cmpeq_epi8(bytes, wanted[i]));
    bits |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits)))
            << (16 * part);
  }
  return bits;
}
#endif

#ifdef PTSEG_HAVE_AVX2_PATH
template <int n>
__attribute__((target("avx2"))) const unsigned char* FindAvx2(const unsigned char* p,
                                                              const unsigned char* end,
                                                              const ByteSet& set) {
  __m256i wanted[n];
  PTSEG_UNROLL for (int i = 0; i < n; ++i) wanted[i] =
      _mm256_set1_epi8(static_cast<char>(set.bytes[i]));
  for (; p < end; p += 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i hits = _mm256_cmpeq_epi8(bytes, wanted[0]);
    PTSEG_UNROLL for (int i = 1; i < n; ++i) hits =
        _mm256_or_si256(hits, _mm256_cmpeq_epi8(bytes, wanted[i]));
    const unsigned bits = static_cast<unsigned>(_mm256_movemask_epi8(hits));
    if (bits != 0) return std::min(p + __builtin_ctz(bits), end);
  }
  return end;
}

// Two table lookups a byte, by its low and its high nibble, whatever the
// size of the set: a bit for each of the 32 bytes at p in it.
struct Nibbles {
  __m256i low, high;
  __attribute__((target("avx2"))) explicit Nibbles(const ByteSet& set)
      : low(_mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(set.low)))),
        high(_mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(set.high)))) {}
  __attribute__((target("avx2"))) unsigned In(const unsigned char* p) const {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i by_low = _mm256_shuffle_epi8(low, _mm256_and_si256(bytes, nibble));
    const __m256i by_high =
        _mm256_shuffle_epi8(high, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble));
    const __m256i misses =
        _mm256_cmpeq_epi8(_mm256_and_si256(by_low, by_high), _mm256_setzero_si256());
    return ~static_cast<unsigned>(_mm256_movemask_epi8(misses));
  }
};

__attribute__((target("avx2"))) std::uint64_t MaskAvx2(const unsigned char* p, const ByteSet& set) {
  const Nibbles nibbles(set);
  return std::uint64_t{nibbles.In(p)} | std::uint64_t{nibbles.In(p + 32)} << 32;
}

__attribute__((target("avx2"))) const unsigned char* FindAvx2ByNibbles(const unsigned char* p,
                                                                       const unsigned char* end,
                                                                       const ByteSet& set) {
  const Nibbles nibbles(set);
  for (; p < end; p += 32) {
    const unsigned bits = nibbles.In(p);
    if (bits != 0) return std::min(p + __builtin_ctz(bits), end);
  }
  return end;
}

// The same lookups for 64 bytes at once, where AVX-512 shuffles bytes:
// half the steps over a long run.
#define PTSEG_AVX512 __attribute__((target("avx512f,avx512bw")))
struct Nibbles512 {
  __m512i low, high;
  PTSEG_AVX512 explicit Nibbles512(const ByteSet& set)
      : low(Broadcast(set.low)), high(Broadcast(set.high)) {}
  PTSEG_AVX512 static __m512i Broadcast(const unsigned char (&table)[16]) {
    const __m128i row = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table));
    return _mm512_maskz_broadcast_i32x4(static_cast<__mmask16>(0xFFFF), row);
  }
  PTSEG_AVX512 std::uint64_t In(const unsigned char* p) const {
    const __m512i nibble = _mm512_set1_epi8(0x0F);
    const __m512i bytes = _mm512_loadu_si512(p);
    const __m512i by_low = _mm512_shuffle_epi8(low, _mm512_and_si512(bytes, nibble));
    const __m512i by_high =
        _mm512_shuffle_epi8(high, _mm512_and_si512(_mm512_srli_epi16(bytes, 4), nibble));
    return _mm512_test_epi8_mask(by_low, by_high);
  }
};

PTSEG_AVX512 std::uint64_t MaskAvx512(const unsigned char* p, const ByteSet& set) {
  return Nibbles512(set).In(p);
}

PTSEG_AVX512 const unsigned char* FindAvx512ByNibbles(const unsigned char* p,
                                                      const unsigned char* end,
                                                      const ByteSet& set) {
  const Nibbles512 nibbles(set);
  for (; p < end; p += 64) {
    const std::uint64_t bits = nibbles.In(p);
    if (bits != 0) return std::min(p + __builtin_ctzll(bits), end);
  }
  return end;
}

bool wide_allowed = true;

bool CanShuffle64() {
  static const bool can = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  }();
  return can && wide_allowed;
}
#endif

// The finder for n bytes (the set padded to 4, 8 or 16 with repeats) by
// compares: AVX2 where the processor has it, SSE2 on any other x86-64,
// byte by byte elsewhere.
template <int n>
Finder FinderFor() {
#ifdef PTSEG_HAVE_AVX2_PATH
  if (__builtin_cpu_supports("avx2")) return FindAvx2<n>;
#endif
#ifdef __SSE2__
  return FindSse2<n>;
#else
  return FindByByte<n>;
#endif
}

// With AVX2, a set of more than 4 bytes is looked up by its nibble tables
// where they are made: two lookups cost less than that many compares.
Finder FinderFor(int n, bool by_nibbles) {
#ifdef PTSEG_HAVE_AVX2_PATH
  if (by_nibbles && n > 4 && CanShuffle64()) return FindAvx512ByNibbles;
  if (by_nibbles && n > 4 && __builtin_cpu_supports("avx2")) return FindAvx2ByNibbles;
#endif
  (void)by_nibbles;
  if (n <= 4) return FinderFor<4>();
  if (n <= 8) return FinderFor<8>();
  return FinderFor<kMaxBytes>();
}

// The masker for n bytes: by the nibble tables, if they are made, where
// AVX-512 or AVX2 has them, else as the finder compares.
Masker MaskerFor(int n, bool by_nibbles) {
  (void)by_nibbles;
#ifdef PTSEG_HAVE_AVX2_PATH
  if (by_nibbles && CanShuffle64()) return MaskAvx512;
  if (by_nibbles && __builtin_cpu_supports("avx2")) return MaskAvx2;
#endif
#ifdef __SSE2__
  if (n <= 4) return MaskSse2<4>;
  if (n <= 8) return MaskSse2<8>;
  return MaskSse2<kMaxBytes>;
#else
  return MaskByByte;
#endif
}

}  // namespace

void AllowWideSearches(bool allow) {
#ifdef PTSEG_HAVE_AVX2_PATH
  wide_allowed = allow;
#else
  (void)allow;
#endif
}

bool MakeByteSet(const bool (&in)[256], ByteSet* set) {
  int n = 0;
  for (int b = 0; b < 256; ++b) {
    if (!in[b]) continue;
    if (n == kMaxBytes) return false;
    set->bytes[n++] = static_cast<unsigned char>(b);
  }
  if (n == 0) return false;
  for (int i = n; i < kMaxBytes; ++i) set->bytes[i] = set->bytes[0];
  // A bit for each high nibble that the bytes have, while there are at
  // most 8.
  std::fill(std::begin(set->low), std::end(set->low), 0);
  std::fill(std::begin(set->high), std::end(set->high), 0);
  int groups = 0;
  bool by_nibbles = true;
  for (int i = 0; i < n && by_nibbles; ++i) {
    const int high = set->bytes[i] >> 4;
    if (set->high[high] == 0) {
      by_nibbles = groups < 8;
      set->high[high] = static_cast<unsigned char>(1u << (groups++ % 8));
    }
    set->low[set->bytes[i] & 0x0F] |= set->high[high];
  }
  set->find = FinderFor(n, by_nibbles);
  set->mask = MaskerFor(n, by_nibbles);
  return true;
}

}  // namespace ptseg::search
