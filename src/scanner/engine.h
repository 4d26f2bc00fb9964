// The table-driven engine: runs the rule set's automaton over a stream with
// flex's matching semantics (longest match, lower rule number on ties,
// rightmost head for head/trail rules), copying bytes no rule takes in runs
// and never looking ahead twice from where an earlier look-ahead failed.
#pragma once

#include <cstdint>
#include <cstdio>

namespace ptseg {

// Writes `in` to `out` with sentence and paragraph markup, from the opening
// to the closing markup.  Read errors, write errors and look-aheads past
// the ceiling end the process with status 2.
void Segment(std::FILE* in, std::FILE* out);

#ifdef PTSEG_COUNT_STEPS
// The same, in builds that count: returns the automaton transitions taken.
std::uint64_t SegmentCountingSteps(std::FILE* in, std::FILE* out);
#endif

}  // namespace ptseg
