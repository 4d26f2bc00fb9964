// What the engine derives from the rule automaton to pass over bytes
// without a transition each, and the vector searches that do the passing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/automaton.h"

namespace ptseg::skip {

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

// Trigger classes (indexed by class): in running text away from a line
// start (start is that state), every match but the copy of one byte (rule
// copy_rule) reads a byte of one of them, and before the first it reads
// at most (*distance)[c] bytes, c that byte's class.  Empty when no small
// set of bytes does that within a short distance.
std::vector<bool> FindTriggers(const Automaton& a, int start, int copy_rule,
                               std::vector<int>* distance);
inline constexpr int kMaxDistance = 48;

// A run: in some states of a look-ahead, every byte but a few (the stops)
// leads to a state that the byte alone decides, where no match or head
// ends and the same holds (the body of a sentence of speech, where
// letters, blanks and commas come and go).  A look-ahead in such a state
// passes the bytes up to the next stop at once and stands in the state
// that the last of them leads to.
struct Run {
  std::vector<std::uint32_t> after;  // the entry each class leads to; kJam for stops
  ByteSet stops;
};
// The runs of a's states: (*run_of)[s] is 1 + the index in the result of
// the run from state s, or 0 for a state with none.
std::vector<Run> FindRuns(const Automaton& a, std::vector<std::uint8_t>* run_of);

}  // namespace ptseg::skip
