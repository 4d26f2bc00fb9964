// The rule set's automaton, as one dense transition table for the
// table-driven engine.  The build unpacks it from the compressed tables
// that flex generates (engine/unpack.h) and compiles it into the program,
// so that a program starts without unpacking it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ptseg {

// A read-only array: the automaton's tables, compiled in or unpacked.
template <class T>
struct Span {
  const T* items = nullptr;
  std::size_t count = 0;
  const T& operator[](std::size_t i) const { return items[i]; }
  const T* data() const { return items; }
  std::size_t size() const { return count; }
  const T* begin() const { return items; }
  const T* end() const { return items + count; }
};

struct Automaton {
  // Byte -> equivalence class.  NUL gets the class flex gives a NUL byte
  // of the text (its table reserves class 0 for the end-of-buffer mark).
  std::uint8_t byte_class[256];
  int class_count = 0;
  // Transitions, a row of class_count entries per state: the entry for
  // state s on class c is next[s * class_count + c].  An entry packs what
  // the look-ahead needs in one load: the target's row (where its own
  // entries start), whether a match can end in the target (it has a plain
  // or whole-match entry, see first_match), whether the head of a
  // head/trail rule ends there, and the target's number.  kJam means no
  // rule can go on.
  Span<std::uint32_t> next;
  // State s has the accept entries acclist[accept[s]] .. acclist[accept[s+1]-1].
  Span<int> accept;
  Span<int> acclist;
  // For state s, the index in acclist of its first entry that can end a
  // match by itself (head entries only mark where a head ends), or 0.
  Span<int> first_match;
  // States where the heads of the same head/trail rules end form a head
  // group, numbered from 1: head_group[s] is state s's group, or 0 where no
  // head ends.  The groups where rule r's head ends are
  // rule_groups[rule_groups_from[r]] .. rule_groups[rule_groups_from[r+1]-1].
  Span<int> head_group;
  int head_group_count = 0;
  Span<int> rule_groups_from;
  Span<int> rule_groups;
  int trailing_mask = 0;       // flags a whole-match entry of a head/trail rule
  int trailing_head_mask = 0;  // flags the entry where that rule's head ends
  int text_condition = 0;

  static constexpr std::uint32_t kJam = 0;  // flex has no state 0
  static constexpr int kRowBits = 18;
  static constexpr std::uint32_t kRowMask = (1u << kRowBits) - 1;
  static constexpr std::uint32_t kEndsMatch = 1u << kRowBits;
  static constexpr std::uint32_t kEndsHead = 1u << (kRowBits + 1);
  static constexpr int kStateShift = kRowBits + 2;
  static constexpr int kMaxStates = 1 << (32 - kStateShift);

  static std::uint32_t Row(std::uint32_t entry) { return entry & kRowMask; }
  static bool EndsMatch(std::uint32_t entry) { return (entry & kEndsMatch) != 0; }
  static bool EndsHead(std::uint32_t entry) { return (entry & kEndsHead) != 0; }
  static std::uint16_t State(std::uint32_t entry) {
    return static_cast<std::uint16_t>(entry >> kStateShift);
  }

  // flex numbers start states 1 + 2 * condition, plus one at a line start.
  static int StartState(int condition, bool at_line_start) {
    return 1 + 2 * condition + (at_line_start ? 1 : 0);
  }
  // The entry that leads into a state, as if from a transition.
  std::uint32_t EntryOf(int state) const {
    const std::uint32_t s = static_cast<std::uint32_t>(state);
    return (s << kStateShift) | (first_match[s] != 0 ? kEndsMatch : 0) |
           (head_group[s] != 0 ? kEndsHead : 0) | s * static_cast<std::uint32_t>(class_count);
  }
};

// The rule file's automaton: compiled in, or, in the build's own tools,
// unpacked from flex's tables.
const Automaton& RuleAutomaton();

}  // namespace ptseg
