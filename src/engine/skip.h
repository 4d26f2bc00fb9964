// What the build derives from the rule automaton so that the engine can
// pass over bytes without a transition each (ptseg-engine-tables writes it
// out for the engine).
#pragma once

#include <cstdint>
#include <vector>

#include "engine/automaton.h"

namespace ptseg::skip {

// The most bytes a vector search looks for at once.
inline constexpr int kMaxBytes = 16;
inline constexpr int kMaxDistance = 48;

// Trigger classes (indexed by class): in running text away from a line
// start (start is that state), every match but the copy of one byte (rule
// copy_rule) reads a byte of one of them, and before the first it reads
// at most (*distance)[c] bytes, c that byte's class.  Empty when no set of
// at most kMaxBytes bytes does that within kMaxDistance bytes.
std::vector<bool> FindTriggers(const Automaton& a, int start, int copy_rule,
                               std::vector<int>* distance);

// Finer than the distances: for each trigger class t and each d from 1 to
// (*distance)[t] of FindTriggers, the pairs of classes, c0 * class_count
// + c1, that the first two bytes of a match but the copy of one byte can
// have when it reads d bytes before its first trigger byte, of class t
// (for d = 1 that byte is the second).  Indexed [t][d][pair]; empty if
// the distances were wrong.
using StartPairs = std::vector<std::vector<std::vector<bool>>>;
StartPairs FindStartPairs(const Automaton& a, int start, int copy_rule,
                          const std::vector<bool>& triggers, const std::vector<int>& distance);

// A run: in some states of a look-ahead, every byte but a few (the stops)
// leads to a state that the byte alone decides, where no match or head
// ends and the same holds (the body of a sentence of speech, where
// letters, blanks and commas come and go).  A look-ahead in such a state
// passes the bytes up to the next stop at once and stands in the state
// that the last of them leads to.
struct Run {
  std::vector<std::uint32_t> after;  // the entry each class leads to; kJam for stops
  std::vector<unsigned char> stops;  // at most kMaxBytes
};
// The runs of a's states: (*run_of)[s] is 1 + the index in the result of
// the run from state s, or 0 for a state with none.
std::vector<Run> FindRuns(const Automaton& a, std::vector<std::uint8_t>* run_of);

}  // namespace ptseg::skip
