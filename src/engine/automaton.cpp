#include "engine/automaton.h"

#include <algorithm>
#include <iterator>

namespace ptseg {
namespace {

// kByteClass, kNext ... kTextCondition: the rule automaton, unpacked at
// build time by ptseg-engine-tables.
#include "automaton_tables.inc"

}  // namespace

const Automaton& RuleAutomaton() {
  static const Automaton automaton = [] {
    Automaton a;
    std::copy(std::begin(kByteClass), std::end(kByteClass), a.byte_class);
    a.class_count = kClassCount;
    a.next = {kNext, kNextSize};
    a.accept = {kAccept, kAcceptSize};
    a.acclist = {kAcclist, kAcclistSize};
    a.first_match = {kFirstMatch, kFirstMatchSize};
    a.head_group = {kHeadGroup, kHeadGroupSize};
    a.head_group_count = kHeadGroupCount;
    a.rule_groups_from = {kRuleGroupsFrom, kRuleGroupsFromSize};
    a.rule_groups = {kRuleGroups, kRuleGroupsSize};
    a.trailing_mask = kTrailingMask;
    a.trailing_head_mask = kTrailingHeadMask;
    a.text_condition = kTextCondition;
    return a;
  }();
  return automaton;
}

}  // namespace ptseg
