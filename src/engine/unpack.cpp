// The rule automaton of the build's own tools, unpacked from the tables
// read off the flex-generated scanner.
#include "engine/unpack.h"

namespace ptseg {
namespace {

// yy_accept ... yy_chk, kNulClass, kTrailingMask, kTrailingHeadMask, kTextCondition,
// copied from the flex-generated scanner at build time.
#include "rule_tables.inc"

}  // namespace

const UnpackedAutomaton& UnpackedRuleAutomaton() {
  static const UnpackedAutomaton unpacked(yy_accept, yy_acclist, yy_ec, yy_meta, yy_base, yy_def,
                                          yy_nxt, yy_chk, kNulClass, kTrailingMask,
                                          kTrailingHeadMask, kTextCondition);
  return unpacked;
}

const Automaton& RuleAutomaton() { return UnpackedRuleAutomaton().automaton(); }

}  // namespace ptseg
