#include "engine/search.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define PTSEG_HAVE_AVX2_PATH 1
#endif

#include <algorithm>

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

template <int n>
const unsigned char* FindByByte(const unsigned char* p, const unsigned char* end,
                                const unsigned char* set) {
  for (; p < end; ++p) {
    for (int i = 0; i < n; ++i) {
      if (*p == set[i]) return p;
    }
  }
  return end;
}

#ifdef __SSE2__
template <int n>
const unsigned char* FindSse2(const unsigned char* p, const unsigned char* end,
                              const unsigned char* set) {
  __m128i wanted[n];
  PTSEG_UNROLL for (int i = 0; i < n; ++i) wanted[i] = _mm_set1_epi8(static_cast<char>(set[i]));
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
#endif

#ifdef PTSEG_HAVE_AVX2_PATH
template <int n>
__attribute__((target("avx2"))) const unsigned char* FindAvx2(const unsigned char* p,
                                                              const unsigned char* end,
                                                              const unsigned char* set) {
  __m256i wanted[n];
  PTSEG_UNROLL for (int i = 0; i < n; ++i) wanted[i] = _mm256_set1_epi8(static_cast<char>(set[i]));
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
#endif

// The finder for n trigger bytes (the set padded to 4, 8 or 16 with
// repeats): AVX2 where the processor has it, SSE2 on any other x86-64,
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

Finder FinderFor(int n) {
  if (n <= 4) return FinderFor<4>();
  if (n <= 8) return FinderFor<8>();
  return FinderFor<kMaxBytes>();
}

}  // namespace

bool MakeByteSet(const bool (&in)[256], ByteSet* set) {
  int n = 0;
  for (int b = 0; b < 256; ++b) {
    if (!in[b]) continue;
    if (n == kMaxBytes) return false;
    set->bytes[n++] = static_cast<unsigned char>(b);
  }
  if (n == 0) return false;
  for (int i = n; i < kMaxBytes; ++i) set->bytes[i] = set->bytes[0];
  set->find = FinderFor(n);
  return true;
}

}  // namespace ptseg::search
