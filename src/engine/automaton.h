// The rule set's automaton, unpacked from the compressed tables that flex
// generates into one dense transition table for the table-driven engine.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <vector>

namespace ptseg {

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
  std::vector<std::uint32_t> next;
  // State s has the accept entries acclist[accept[s]] .. acclist[accept[s+1]-1].
  std::vector<int> accept;
  std::vector<int> acclist;
  // For state s, the index in acclist of its first entry that can end a
  // match by itself (head entries only mark where a head ends), or 0.
  std::vector<int> first_match;
  // States where the heads of the same head/trail rules end form a head
  // group, numbered from 1: head_group[s] is state s's group, or 0 where no
  // head ends.  The groups where rule r's head ends are
  // rule_groups[rule_groups_from[r]] .. rule_groups[rule_groups_from[r+1]-1].
  std::vector<int> head_group;
  int head_group_count = 0;
  std::vector<int> rule_groups_from;
  std::vector<int> rule_groups;
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

// Fills a->next from flex's base/def/nxt/chk, once a's states know their
// matches and head groups (EntryOf).
template <class Meta, std::size_t kMetaSize, class Base, std::size_t kBaseSize, class Def,
          class Nxt, std::size_t kNxtSize, class Chk>
void UnpackRows(const Meta (&meta)[kMetaSize], const Base (&base)[kBaseSize],
                const Def (&def)[kBaseSize], const Nxt (&nxt)[kNxtSize], const Chk (&chk)[kNxtSize],
                int jam, Automaton* out) {
  Automaton& a = *out;
  const int first_template = jam + 1;
  // flex's own lookup: down the chain of default states until one has an
  // entry for the class, on meta classes among the templates.
  const auto lookup = [&](int state, int cls) {
    while (chk[base[state] + cls] != state) {
      state = def[state];
      if (state >= first_template) cls = meta[cls];
    }
    return nxt[base[state] + cls];
  };
  const auto classes = static_cast<std::size_t>(kMetaSize);
  std::vector<std::uint32_t> entry(static_cast<std::size_t>(jam) + 1);
  for (int s = 0; s < jam; ++s) entry[static_cast<std::size_t>(s)] = a.EntryOf(s);
  entry[static_cast<std::size_t>(jam)] = Automaton::kJam;
  // What a lookup finds from a template on a meta class, found once.
  constexpr std::uint32_t kUnknown = ~std::uint32_t{0};
  std::vector<std::uint32_t> from_template(
      (kBaseSize - static_cast<std::size_t>(first_template)) * classes, kUnknown);
  const auto template_lookup = [&](int t, int cls) {
    std::uint32_t& known = from_template[static_cast<std::size_t>(t - first_template) * classes +
                                         static_cast<std::size_t>(cls)];
    if (known == kUnknown) known = entry[static_cast<std::size_t>(lookup(t, cls))];
    return known;
  };
  // Most states default to the jam state: its row, found once.
  std::vector<std::uint32_t> jam_row(classes, Automaton::kJam);
  for (int c = 1; c < a.class_count; ++c) {
    jam_row[static_cast<std::size_t>(c)] = entry[static_cast<std::size_t>(lookup(jam, c))];
  }
  // A state's row differs from its default state's only where chk names
  // it, so a row is made from its default's row, that made first: an entry
  // costs a step or two instead of a walk down the chain.  mark: 0 not
  // made, 1 waiting on the chain being followed, 2 made.
  a.next.assign(static_cast<std::size_t>(jam) * classes, Automaton::kJam);
  std::vector<char> mark(static_cast<std::size_t>(jam), 0);
  std::vector<int> chain;
  for (int s = 1; s < jam; ++s) {
    for (int d = s; d >= 1 && d < jam && mark[static_cast<std::size_t>(d)] == 0; d = def[d]) {
      mark[static_cast<std::size_t>(d)] = 1;
      chain.push_back(d);
    }
    for (; !chain.empty(); chain.pop_back()) {
      const int state = chain.back();
      const int d = def[state];
      const std::uint32_t* default_row = nullptr;
      if (d == jam) {
        default_row = jam_row.data();
      } else if (d >= 1 && d < jam && mark[static_cast<std::size_t>(d)] == 2) {
        default_row = &a.next[static_cast<std::size_t>(d) * classes];
      }
      std::uint32_t* row = &a.next[static_cast<std::size_t>(state) * classes];
      for (int c = 1; c < a.class_count; ++c) {
        if (chk[base[state] + c] == state) {
          row[c] = entry[static_cast<std::size_t>(nxt[base[state] + c])];
        } else if (default_row != nullptr) {
          row[c] = default_row[c];
        } else if (d >= first_template) {
          row[c] = template_lookup(d, meta[c]);
        } else {
          row[c] = entry[static_cast<std::size_t>(lookup(state, c))];
        }
      }
      mark[static_cast<std::size_t>(state)] = 2;
    }
  }
}

// Unpacks flex's -Cem tables (equivalence and meta-equivalence classes,
// base/def/nxt/chk).  flex's last DFA state is the jam state; states past
// it are templates, reached only through def, on meta classes.
template <class Accept, std::size_t kAcceptSize, class AccList, std::size_t kAccListSize, class Ec,
          class Meta, std::size_t kMetaSize, class Base, std::size_t kBaseSize, class Def,
          class Nxt, std::size_t kNxtSize, class Chk>
Automaton UnpackFlexTables(const Accept (&accept)[kAcceptSize],
                           const AccList (&acclist)[kAccListSize], const Ec (&ec)[256],
                           const Meta (&meta)[kMetaSize], const Base (&base)[kBaseSize],
                           const Def (&def)[kBaseSize], const Nxt (&nxt)[kNxtSize],
                           const Chk (&chk)[kNxtSize], int trailing_mask, int trailing_head_mask,
                           int text_condition) {
  static_assert(kAcceptSize * kMetaSize <= Automaton::kRowMask, "rows do not fit their field");
  static_assert(kAcceptSize < Automaton::kMaxStates, "state numbers do not fit their field");
  Automaton a;
  const int jam = static_cast<int>(kAcceptSize) - 2;
  a.class_count = static_cast<int>(kMetaSize);
  for (int b = 0; b < 256; ++b) a.byte_class[b] = static_cast<std::uint8_t>(ec[b]);
  a.byte_class[0] = 1;  // flex's class for a NUL that is text
  a.accept.assign(std::begin(accept), std::end(accept));
  a.acclist.assign(std::begin(acclist), std::end(acclist));
  a.first_match.assign(static_cast<std::size_t>(jam) + 1, 0);
  a.head_group.assign(static_cast<std::size_t>(jam) + 1, 0);
  std::map<std::vector<int>, int> groups;  // the rules of a group -> its number
  for (int s = jam - 1; s > 0; --s) {
    const auto state = static_cast<std::size_t>(s);
    std::vector<int> heads;
    for (int i = a.accept[state + 1] - 1; i >= a.accept[state]; --i) {
      const int entry = a.acclist[static_cast<std::size_t>(i)];
      if ((entry & trailing_head_mask) == 0) {
        a.first_match[state] = i;
      } else {
        heads.push_back(entry & ~trailing_head_mask);
      }
    }
    if (!heads.empty()) {
      std::sort(heads.begin(), heads.end());
      const auto group = groups.emplace(heads, static_cast<int>(groups.size()) + 1).first;
      a.head_group[state] = group->second;
    }
  }
  a.head_group_count = static_cast<int>(groups.size());
  int rules = 0;
  for (const auto& group : groups) rules = std::max(rules, group.first.back() + 1);
  for (int r = 0; r <= rules; ++r) {
    a.rule_groups_from.push_back(static_cast<int>(a.rule_groups.size()));
    for (const auto& group : groups) {
      if (std::binary_search(group.first.begin(), group.first.end(), r)) {
        a.rule_groups.push_back(group.second);
      }
    }
  }
  a.rule_groups_from.push_back(static_cast<int>(a.rule_groups.size()));
  UnpackRows(meta, base, def, nxt, chk, jam, &a);
  a.trailing_mask = trailing_mask;
  a.trailing_head_mask = trailing_head_mask;
  a.text_condition = text_condition;
  return a;
}

// The rule file's automaton.
const Automaton& RuleAutomaton();

}  // namespace ptseg
