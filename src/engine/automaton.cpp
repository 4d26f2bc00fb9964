#include "engine/automaton.h"

namespace ptseg {
namespace {

// yy_accept ... yy_chk, kTrailingMask, kTrailingHeadMask, kTextCondition,
// copied from the flex-generated scanner at build time.
#include "rule_tables.inc"

}  // namespace

const Automaton& RuleAutomaton() {
  static const Automaton automaton =
      UnpackFlexTables(yy_accept, yy_acclist, yy_ec, yy_meta, yy_base, yy_def, yy_nxt, yy_chk,
                       kTrailingMask, kTrailingHeadMask, kTextCondition);
  return automaton;
}

}  // namespace ptseg
