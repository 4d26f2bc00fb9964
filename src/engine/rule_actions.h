// What each rule does once it has matched, read off the generated scanner
// (rule_actions.inc, see flex_tables.cmake).
#pragma once

namespace ptseg::rules {

struct RuleAction {
  enum Kind { kEcho, kBreak, kRescan };
  static constexpr int kSameCondition = -1;
  Kind kind;
  int next;  // condition to switch to, or kSameCondition
  int head;  // bytes kept of a match whose head has a fixed length, or 0
  int cut;   // else, bytes of fixed trailing context given back
};

inline constexpr RuleAction kRuleActions[] = {
#include "rule_actions.inc"
};
inline constexpr int kRuleCount = sizeof kRuleActions / sizeof kRuleActions[0];
// The last rule copies one byte that no other rule takes.
inline constexpr int kCopyByteRule = kRuleCount;

}  // namespace ptseg::rules
