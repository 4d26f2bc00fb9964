// Vector searches for the first of a few byte values: how the engine
// passes over bytes without a transition each.
#pragma once

#include <cstdint>

namespace ptseg::search {

struct ByteSet;
// A search for the first byte in [p, end) that is in the set, or end; the
// 63 bytes after end must be readable.
using Finder = const unsigned char* (*)(const unsigned char* p, const unsigned char* end,
                                        const ByteSet& set);
// A bit for each of the 64 bytes from p on that is in the set (bit i for
// p[i]); all 64 must be readable.
using Masker = std::uint64_t (*)(const unsigned char* p, const ByteSet& set);

// A set of at most kMaxBytes bytes and the searches for them: AVX-512 or
// AVX2 where the processor has it, SSE2 on any other x86-64, byte by byte
// elsewhere.
inline constexpr int kMaxBytes = 16;
struct ByteSet {
  unsigned char bytes[kMaxBytes];  // padded with repeats
  // For sets whose bytes have at most 8 high nibbles: bit g of low[l] and
  // of high[h] both set when h is the g-th of them and (h << 4 | l) is in
  // the set.
  unsigned char low[16];
  unsigned char high[16];
  Finder find = nullptr;
  Masker mask = nullptr;
};
// The set of the bytes b for which in[b] holds, if at most kMaxBytes do.
bool MakeByteSet(const bool (&in)[256], ByteSet* set);

// For the tests: whether the sets made from now on may search 64 bytes at
// a time with AVX-512 (the default), where the processor has it.
void AllowWideSearches(bool allow);

}  // namespace ptseg::search
