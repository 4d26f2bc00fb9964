// Unpacks the automaton from the compressed tables that flex generates.
// Only the build's own tools do this (ptseg-engine-tables writes the result
// out for the programs).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <vector>

#include "engine/automaton.h"

namespace ptseg {

// Fills *next from flex's base/def/nxt/chk, once a's states know their
// matches and head groups (EntryOf).
template <class Meta, std::size_t kMetaSize, class Base, std::size_t kBaseSize, class Def,
          class Nxt, std::size_t kNxtSize, class Chk>
void UnpackRows(const Meta (&meta)[kMetaSize], const Base (&base)[kBaseSize],
                const Def (&def)[kBaseSize], const Nxt (&nxt)[kNxtSize], const Chk (&chk)[kNxtSize],
                int jam, const Automaton& a, std::vector<std::uint32_t>* next) {
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
  next->assign(static_cast<std::size_t>(jam) * classes, Automaton::kJam);
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
        default_row = &(*next)[static_cast<std::size_t>(d) * classes];
      }
      std::uint32_t* row = &(*next)[static_cast<std::size_t>(state) * classes];
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

// The automaton unpacked from flex's -Cem tables (equivalence and
// meta-equivalence classes, base/def/nxt/chk), with the tables it refers
// to.  flex's last DFA state is the jam state; states past it are
// templates, reached only through def, on meta classes.
class UnpackedAutomaton {
 public:
  template <class Accept, std::size_t kAcceptSize, class AccList, std::size_t kAccListSize,
            class Ec, class Meta, std::size_t kMetaSize, class Base, std::size_t kBaseSize,
            class Def, class Nxt, std::size_t kNxtSize, class Chk>
  UnpackedAutomaton(const Accept (&accept)[kAcceptSize], const AccList (&acclist)[kAccListSize],
                    const Ec (&ec)[256], const Meta (&meta)[kMetaSize],
                    const Base (&base)[kBaseSize], const Def (&def)[kBaseSize],
                    const Nxt (&nxt)[kNxtSize], const Chk (&chk)[kNxtSize], int nul_class,
                    int trailing_mask, int trailing_head_mask, int text_condition);
  // The automaton refers to the tables this object holds.
  UnpackedAutomaton(const UnpackedAutomaton&) = delete;
  UnpackedAutomaton& operator=(const UnpackedAutomaton&) = delete;

  const Automaton& automaton() const { return a_; }
  // Its tables, for the build to write out.
  const std::vector<std::uint32_t>& next() const { return next_; }
  const std::vector<int>& accept() const { return accept_; }
  const std::vector<int>& acclist() const { return acclist_; }
  const std::vector<int>& first_match() const { return first_match_; }
  const std::vector<int>& head_group() const { return head_group_; }
  const std::vector<int>& rule_groups_from() const { return rule_groups_from_; }
  const std::vector<int>& rule_groups() const { return rule_groups_; }

 private:
  template <class T>
  static Span<T> SpanOf(const std::vector<T>& v) {
    return Span<T>{v.data(), v.size()};
  }

  Automaton a_;
  std::vector<std::uint32_t> next_;
  std::vector<int> accept_, acclist_, first_match_, head_group_, rule_groups_from_, rule_groups_;
};

template <class Accept, std::size_t kAcceptSize, class AccList, std::size_t kAccListSize, class Ec,
          class Meta, std::size_t kMetaSize, class Base, std::size_t kBaseSize, class Def,
          class Nxt, std::size_t kNxtSize, class Chk>
UnpackedAutomaton::UnpackedAutomaton(const Accept (&accept)[kAcceptSize],
                                     const AccList (&acclist)[kAccListSize], const Ec (&ec)[256],
                                     const Meta (&meta)[kMetaSize], const Base (&base)[kBaseSize],
                                     const Def (&def)[kBaseSize], const Nxt (&nxt)[kNxtSize],
                                     const Chk (&chk)[kNxtSize], int nul_class, int trailing_mask,
                                     int trailing_head_mask, int text_condition) {
  static_assert(kAcceptSize * kMetaSize <= Automaton::kRowMask,
                "the rules' states times classes outgrow a transition's row field (kRowBits)");
  static_assert(kAcceptSize < Automaton::kMaxStates,
                "the rules' states outgrow a transition's state field (kStateShift)");
  Automaton& a = a_;
  const int jam = static_cast<int>(kAcceptSize) - 2;
  a.class_count = static_cast<int>(kMetaSize);
  for (int b = 0; b < 256; ++b) a.byte_class[b] = static_cast<std::uint8_t>(ec[b]);
  a.byte_class[0] = static_cast<std::uint8_t>(nul_class);  // not the end-of-buffer mark's
  accept_.assign(std::begin(accept), std::end(accept));
  acclist_.assign(std::begin(acclist), std::end(acclist));
  first_match_.assign(static_cast<std::size_t>(jam) + 1, 0);
  head_group_.assign(static_cast<std::size_t>(jam) + 1, 0);
  std::map<std::vector<int>, int> groups;  // the rules of a group -> its number
  for (int s = jam - 1; s > 0; --s) {
    const auto state = static_cast<std::size_t>(s);
    std::vector<int> heads;
    for (int i = accept_[state + 1] - 1; i >= accept_[state]; --i) {
      const int entry = acclist_[static_cast<std::size_t>(i)];
      if ((entry & trailing_head_mask) == 0) {
        first_match_[state] = i;
      } else {
        heads.push_back(entry & ~trailing_head_mask);
      }
    }
    if (!heads.empty()) {
      std::sort(heads.begin(), heads.end());
      const auto group = groups.emplace(heads, static_cast<int>(groups.size()) + 1).first;
      head_group_[state] = group->second;
    }
  }
  a.head_group_count = static_cast<int>(groups.size());
  int rules = 0;
  for (const auto& group : groups) rules = std::max(rules, group.first.back() + 1);
  for (int r = 0; r <= rules; ++r) {
    rule_groups_from_.push_back(static_cast<int>(rule_groups_.size()));
    for (const auto& group : groups) {
      if (std::binary_search(group.first.begin(), group.first.end(), r)) {
        rule_groups_.push_back(group.second);
      }
    }
  }
  rule_groups_from_.push_back(static_cast<int>(rule_groups_.size()));
  a.accept = SpanOf(accept_);
  a.acclist = SpanOf(acclist_);
  a.first_match = SpanOf(first_match_);
  a.head_group = SpanOf(head_group_);
  a.rule_groups_from = SpanOf(rule_groups_from_);
  a.rule_groups = SpanOf(rule_groups_);
  UnpackRows(meta, base, def, nxt, chk, jam, a, &next_);
  a.next = SpanOf(next_);
  a.trailing_mask = trailing_mask;
  a.trailing_head_mask = trailing_head_mask;
  a.text_condition = text_condition;
}

// The rule file's automaton, unpacked, with its tables (RuleAutomaton()
// is its automaton in the tools).
const UnpackedAutomaton& UnpackedRuleAutomaton();

}  // namespace ptseg
