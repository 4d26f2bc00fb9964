// The rule set's automaton, unpacked from the compressed tables that flex
// generates into one dense transition table for the table-driven engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

namespace ptseg {

struct Automaton {
  // Byte -> equivalence class.  NUL gets the class flex gives a NUL byte
  // of the text (its table reserves class 0 for the end-of-buffer mark).
  std::uint8_t byte_class[256];
  int class_count = 0;
  // The table is kept by rows: state s has the row s * class_count, and
  // next[row + c] & kRowBits is the row of the state it goes to on class c,
  // or kJam when no rule can go on.  kEndsMatch is set on a transition into
  // a state where a match can end (see first_match).  Class 0 marks the end
  // of flex's buffer and never stands for a byte, so next[row] holds the
  // row's own state number instead.
  std::vector<std::uint32_t> next;
  // State s has the accept entries acclist[accept[s]] .. acclist[accept[s+1]-1].
  std::vector<int> accept;
  std::vector<int> acclist;
  // For state s, the index in acclist of its first entry that can end a
  // match there by itself (a plain or a whole-match entry; head entries only
  // mark where a head ends), or 0 if it has none.
  std::vector<int> first_match;
  int trailing_mask = 0;       // flags a whole-match entry of a head/trail rule
  int trailing_head_mask = 0;  // flags the entry where that rule's head ends
  int text_condition = 0;

  static constexpr std::uint32_t kJam = 0;  // the row of state 0, never used
  static constexpr std::uint32_t kEndsMatch = 0x80000000;
  static constexpr std::uint32_t kRowBits = 0x7FFFFFFF;

  // flex numbers start states 1 + 2 * condition, plus one at a line start.
  static int StartState(int condition, bool at_line_start) {
    return 1 + 2 * condition + (at_line_start ? 1 : 0);
  }
  std::uint32_t StartRow(int condition, bool at_line_start) const {
    return static_cast<std::uint32_t>(StartState(condition, at_line_start) *
                                      class_count);
  }
  int StateOf(std::uint32_t row) const { return static_cast<int>(next[row]); }
};

// Unpacks flex's -Cem tables (equivalence and meta-equivalence classes,
// base/def/nxt/chk).  flex's last DFA state is the jam state; states past
// it are templates, reached only through def, on meta classes.
template <class Accept, std::size_t kAcceptSize, class AccList,
          std::size_t kAccListSize, class Ec, class Meta, std::size_t kMetaSize,
          class Base, std::size_t kBaseSize, class Def, class Nxt,
          std::size_t kNxtSize, class Chk>
Automaton UnpackFlexTables(const Accept (&accept)[kAcceptSize],
                           const AccList (&acclist)[kAccListSize],
                           const Ec (&ec)[256], const Meta (&meta)[kMetaSize],
                           const Base (&base)[kBaseSize],
                           const Def (&def)[kBaseSize],
                           const Nxt (&nxt)[kNxtSize],
                           const Chk (&chk)[kNxtSize], int trailing_mask,
                           int trailing_head_mask, int text_condition) {
  Automaton a;
  const int jam = static_cast<int>(kAcceptSize) - 2;
  const int first_template = static_cast<int>(kAcceptSize) - 1;
  a.class_count = static_cast<int>(kMetaSize);
  for (int b = 0; b < 256; ++b) a.byte_class[b] = static_cast<std::uint8_t>(ec[b]);
  a.byte_class[0] = 1;  // flex's class for a NUL that is text
  a.accept.assign(std::begin(accept), std::end(accept));
  a.acclist.assign(std::begin(acclist), std::end(acclist));
  a.first_match.assign(static_cast<std::size_t>(jam) + 1, 0);
  for (int s = jam - 1; s > 0; --s) {
    for (int i = a.accept[static_cast<std::size_t>(s) + 1] - 1;
         i >= a.accept[static_cast<std::size_t>(s)]; --i) {
      if ((a.acclist[static_cast<std::size_t>(i)] & trailing_head_mask) == 0) {
        a.first_match[static_cast<std::size_t>(s)] = i;
      }
    }
  }
  a.next.resize(static_cast<std::size_t>(jam) * static_cast<std::size_t>(a.class_count),
                Automaton::kJam);
  for (int s = 1; s < jam; ++s) {  // flex's states are numbered from 1
    a.next[static_cast<std::size_t>(s * a.class_count)] = static_cast<std::uint32_t>(s);
    for (int c = 1; c < a.class_count; ++c) {
      int state = s;
      int cls = c;
      while (chk[base[state] + cls] != state) {
        state = def[state];
        if (state >= first_template) cls = meta[cls];
      }
      const int to = nxt[base[state] + cls];
      if (to != jam) {
        const bool ends = a.first_match[static_cast<std::size_t>(to)] != 0;
        a.next[static_cast<std::size_t>(s * a.class_count + c)] =
            static_cast<std::uint32_t>(to * a.class_count) |
            (ends ? Automaton::kEndsMatch : 0);
      }
    }
  }
  a.trailing_mask = trailing_mask;
  a.trailing_head_mask = trailing_head_mask;
  a.text_condition = text_condition;
  return a;
}

// The rule file's automaton.
const Automaton& RuleAutomaton();

}  // namespace ptseg
