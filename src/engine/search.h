// Vector searches for the first of a few byte values: how the engine
// passes over bytes without a transition each.
#pragma once

namespace ptseg::search {

// A search for the first byte in [p, end) that is one of the bytes at
// `set`, or end; the 31 bytes after end must be readable.
using Finder = const unsigned char* (*)(const unsigned char* p, const unsigned char* end,
                                        const unsigned char* set);

// A set of at most kMaxBytes bytes and the search for them: AVX2 where the
// processor has it, SSE2 on any other x86-64, byte by byte elsewhere.
inline constexpr int kMaxBytes = 16;
struct ByteSet {
  unsigned char bytes[kMaxBytes];  // padded with repeats
  Finder find = nullptr;
};
// The set of the bytes b for which in[b] holds, if at most kMaxBytes do.
bool MakeByteSet(const bool (&in)[256], ByteSet* set);

}  // namespace ptseg::search
