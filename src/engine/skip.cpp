#include "engine/skip.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

namespace ptseg::skip {
namespace {

// How many bytes each class holds.
std::vector<int> BytesIn(const Automaton& a) {
  std::vector<int> bytes_in(static_cast<std::size_t>(a.class_count), 0);
  for (int b = 0; b < 256; ++b) ++bytes_in[a.byte_class[b]];
  return bytes_in;
}

// What it costs to leave each class out of a search: text runs on the
// bytes of classes on which many states loop back to themselves (letters,
// blanks), and the rules say which those are.  The count of such states,
// plus one, times the bytes of the class.
std::vector<long> LoopCost(const Automaton& a) {
  const auto classes = static_cast<std::size_t>(a.class_count);
  const std::vector<int> bytes_in = BytesIn(a);
  std::vector<long> cost(classes, 0);
  for (std::size_t s = 1; s < a.next.size() / classes; ++s) {  // no row for the jam state
    for (std::size_t c = 1; c < classes; ++c) {
      if (Automaton::State(a.next[s * classes + c]) == s) ++cost[c];
    }
  }
  for (std::size_t c = 1; c < classes; ++c) cost[c] = (cost[c] + 1) * bytes_in[c];
  return cost;
}

// The states reached from the running text's start state away from a line
// start, with what each leads to by class (-1: nothing) and whether a match
// other than the copy of one byte ends there.
struct Reach {
  int classes = 0;
  std::vector<int> next;  // by index in reach order, class_count a row
  std::vector<bool> other_match;
};

Reach ReachFrom(const Automaton& a, int start, int copy_rule) {
  Reach r;
  r.classes = a.class_count;
  const auto classes = static_cast<std::size_t>(a.class_count);
  std::vector<int> index(a.first_match.size(), -1);
  std::vector<int> states{start};
  index[static_cast<std::size_t>(start)] = 0;
  for (std::size_t i = 0; i < states.size(); ++i) {
    const auto s = static_cast<std::size_t>(states[i]);
    for (std::size_t c = 0; c < classes; ++c) {
      const std::size_t t = c == 0 ? 0 : Automaton::State(a.next[s * classes + c]);
      if (t != 0 && index[t] < 0) {
        index[t] = static_cast<int>(states.size());
        states.push_back(static_cast<int>(t));
      }
      r.next.push_back(t == 0 ? -1 : index[t]);
    }
    const int first = a.first_match[s];
    r.other_match.push_back(first != 0 && a.acclist[static_cast<std::size_t>(first)] != copy_rule);
  }
  return r;
}

// What a depth-first search over r finds when the byte classes flagged in
// `barred` are never read: either every path from the start dies having
// ended no match but the copy of one byte (closed), or `path` holds the
// classes of one that ends another match or comes back on itself.
struct Avoidance {
  bool closed = false;
  std::vector<int> path;
};

Avoidance Avoid(const Reach& r, const std::vector<bool>& barred) {
  const auto classes = static_cast<std::size_t>(r.classes);
  const std::size_t n = r.other_match.size();
  enum : char { kNew, kOnPath, kClosed };
  std::vector<char> mark(n, kNew);
  struct Frame {
    int state;
    std::size_t c;  // the next class to follow
  };
  std::vector<Frame> path{{0, 0}};
  mark[0] = kOnPath;
  Avoidance found;
  while (!path.empty()) {
    Frame& f = path.back();
    const auto s = static_cast<std::size_t>(f.state);
    if (r.other_match[s]) break;
    int t = -1;
    for (; f.c < classes; ++f.c) {
      t = barred[f.c] ? -1 : r.next[s * classes + f.c];
      if (t < 0) continue;
      if (mark[static_cast<std::size_t>(t)] != kClosed) break;
    }
    if (f.c == classes) {  // all it leads to is closed
      mark[s] = kClosed;
      path.pop_back();
      if (!path.empty()) ++path.back().c;
      continue;
    }
    if (mark[static_cast<std::size_t>(t)] == kOnPath) {
      path.push_back({t, 0});  // a loop
      break;
    }
    mark[static_cast<std::size_t>(t)] = kOnPath;
    path.push_back({t, 0});
  }
  if (path.empty()) {
    found.closed = true;
  } else {
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
      found.path.push_back(static_cast<int>(path[i].c));
    }
  }
  return found;
}

// For each class, the most bytes that a path from the start avoiding the
// barred classes (paths known to be finite) reads before it reads a byte
// of that class and lives on; 0 for a class no such path goes on with.
std::vector<int> LeadIns(const Reach& r, const std::vector<bool>& barred) {
  const auto classes = static_cast<std::size_t>(r.classes);
  const std::size_t n = r.other_match.size();
  // The longest path to each state, in topological order (Kahn).
  std::vector<int> into(n, 0), depth(n, -1);
  const auto follows = [&](std::size_t s, std::size_t c) {
    return barred[c] ? -1 : r.next[s * classes + c];
  };
  std::vector<std::size_t> order{0};
  std::vector<bool> seen(n, false);
  seen[0] = true;
  for (std::size_t i = 0; i < order.size(); ++i) {  // the states the paths reach
    for (std::size_t c = 1; c < classes; ++c) {
      const int t = follows(order[i], c);
      if (t < 0) continue;
      ++into[static_cast<std::size_t>(t)];
      if (!seen[static_cast<std::size_t>(t)]) {
        seen[static_cast<std::size_t>(t)] = true;
        order.push_back(static_cast<std::size_t>(t));
      }
    }
  }
  std::vector<std::size_t> ready{0};
  depth[0] = 0;
  std::vector<int> lead_in(classes, 0);
  while (!ready.empty()) {
    const std::size_t s = ready.back();
    ready.pop_back();
    for (std::size_t c = 1; c < classes; ++c) {
      if (barred[c] && r.next[s * classes + c] >= 0) lead_in[c] = std::max(lead_in[c], depth[s]);
      const int t = follows(s, c);
      if (t < 0) continue;
      const auto u = static_cast<std::size_t>(t);
      depth[u] = std::max(depth[u], depth[s] + 1);
      if (--into[u] == 0) ready.push_back(u);
    }
  }
  return lead_in;
}

}  // namespace

// The trigger classes, the set that the search (Avoid) may not read.
// Bytes that text runs on (letters, blanks) make poor triggers.  So, the
// set begun with the line feed's class, as long as the search finds a path
// that avoids the set and ends another match or loops, the class on that
// path that costs least (LoopCost; the first of them on a tie) joins the
// set; then classes that later ones made needless are dropped again.
// Empty when the set grows past kMaxBytes bytes or a distance past
// kMaxDistance.
std::vector<bool> FindTriggers(const Automaton& a, int start, int copy_rule,
                               std::vector<int>* distance) {
  const auto classes = static_cast<std::size_t>(a.class_count);
  const std::vector<int> bytes_in = BytesIn(a);
  const std::vector<long> cost = LoopCost(a);
  const Reach reach = ReachFrom(a, start, copy_rule);
  std::vector<bool> barred(classes, false);
  barred[0] = true;  // the end-of-buffer mark, never text
  const std::size_t line_feed = a.byte_class[static_cast<unsigned char>('\n')];
  barred[line_feed] = true;
  std::vector<std::size_t> added;
  for (Avoidance now = Avoid(reach, barred); !now.closed; now = Avoid(reach, barred)) {
    std::size_t best = 0;
    for (const int c : now.path) {
      const auto k = static_cast<std::size_t>(c);
      if (best == 0 || cost[k] < cost[best]) best = k;
    }
    if (best == 0 || added.size() >= classes) return {};
    barred[best] = true;
    added.push_back(best);
  }
  for (auto it = added.rbegin(); it != added.rend(); ++it) {
    barred[*it] = false;
    if (!Avoid(reach, barred).closed) barred[*it] = true;
  }
  int bytes = 0;
  for (std::size_t c = 1; c < classes; ++c) bytes += barred[c] ? bytes_in[c] : 0;
  *distance = LeadIns(reach, barred);
  for (std::size_t c = 1; c < classes; ++c) {
    if (barred[c] && (*distance)[c] > kMaxDistance) return {};
  }
  if (bytes > kMaxBytes) return {};
  return barred;
}

StartPairs FindStartPairs(const Automaton& a, int start, int copy_rule,
                          const std::vector<bool>& triggers, const std::vector<int>& distance) {
  const auto classes = static_cast<std::size_t>(a.class_count);
  const Reach reach = ReachFrom(a, start, copy_rule);
  StartPairs pairs(classes);
  for (std::size_t t = 1; t < classes; ++t) {
    if (!triggers[t]) continue;
    pairs[t].assign(static_cast<std::size_t>(distance[t]) + 1,
                    std::vector<bool>(classes * classes, false));
  }
  const auto follow = [&](int s, std::size_t c) {
    return reach.next[static_cast<std::size_t>(s) * classes + c];
  };
  // The paths that have read d bytes, none a trigger: their first two
  // classes (c0 alone, as c0 * classes, while d is 1) and where they stand.
  // Without triggers the paths die (FindTriggers made sure), so this ends.
  std::set<std::tuple<std::size_t, std::size_t, int>> paths;
  for (std::size_t c = 1; c < classes; ++c) {
    if (!triggers[c] && follow(0, c) >= 0) paths.insert({c, 0, follow(0, c)});
  }
  for (std::size_t d = 1; !paths.empty(); ++d) {
    std::set<std::tuple<std::size_t, std::size_t, int>> longer;
    for (const auto& [c0, c1, s] : paths) {
      for (std::size_t c = 1; c < classes; ++c) {
        if (follow(s, c) < 0) continue;
        const std::size_t second = d == 1 ? c : c1;
        if (triggers[c]) {
          if (d >= pairs[c].size()) return {};  // past the distance: cannot be
          pairs[c][d][c0 * classes + second] = true;
        } else {
          longer.insert({c0, second, follow(s, c)});
        }
      }
    }
    paths = std::move(longer);
  }
  return pairs;
}

namespace {

// The run from state s (see Run): to begin with, every class that leads
// from s to a state where no match or head ends is passed.  While a state
// it leads to goes elsewhere on a passed class than s does, either that
// class or the classes leading into that state become stops, whichever
// costs less (see LoopCost).
std::vector<std::uint32_t> RunFrom(const Automaton& a, std::size_t s,
                                   const std::vector<long>& cost) {
  const auto classes = static_cast<std::size_t>(a.class_count);
  const std::uint32_t* row = &a.next[s * classes];
  std::vector<std::uint32_t> after(classes, Automaton::kJam);
  for (std::size_t c = 1; c < classes; ++c) {
    if ((row[c] & (Automaton::kEndsMatch | Automaton::kEndsHead)) == 0) after[c] = row[c];
  }
  std::vector<std::uint32_t> reached;
  for (bool changed = true; changed;) {
    changed = false;
    reached.clear();
    for (const std::uint32_t to : after) {
      if (to != Automaton::kJam) reached.push_back(to);
    }
    std::sort(reached.begin(), reached.end());
    reached.erase(std::unique(reached.begin(), reached.end()), reached.end());
    for (const std::uint32_t to : reached) {
      long into = 0;  // 0 once no passed class leads to it any more
      for (std::size_t c = 1; c < classes; ++c) into += after[c] == to ? cost[c] + 1 : 0;
      const std::uint32_t* its = &a.next[Automaton::Row(to)];
      std::size_t odd = 0;
      for (std::size_t c = 1; c < classes && odd == 0 && into != 0; ++c) {
        if (after[c] != Automaton::kJam && its[c] != after[c]) odd = c;
      }
      if (odd == 0) continue;
      if (cost[odd] <= into) {
        after[odd] = Automaton::kJam;
      } else {
        for (std::uint32_t& entry : after) entry = entry == to ? Automaton::kJam : entry;
      }
      changed = true;
    }
  }
  return after;
}

}  // namespace

// A run is worth a search only when most bytes pass it.
constexpr int kMinRun = 128;

std::vector<Run> FindRuns(const Automaton& a, std::vector<std::uint8_t>* run_of) {
  const auto classes = static_cast<std::size_t>(a.class_count);
  const std::size_t states = a.next.size() / classes;
  const std::vector<long> cost = LoopCost(a);
  std::vector<Run> runs;
  std::map<std::vector<std::uint32_t>, std::uint8_t> known;
  run_of->assign(states, 0);
  const std::vector<int> bytes_in = BytesIn(a);
  for (std::size_t s = 1; s < states; ++s) {
    // Most states go on with a few bytes only: no run.
    int going_on = 0;
    for (std::size_t c = 1; c < classes; ++c) {
      going_on += a.next[s * classes + c] != Automaton::kJam ? bytes_in[c] : 0;
    }
    if (going_on < kMinRun) continue;
    std::vector<std::uint32_t> after = RunFrom(a, s, cost);
    std::vector<unsigned char> stops;
    for (int b = 0; b < 256; ++b) {
      if (after[a.byte_class[b]] == Automaton::kJam) stops.push_back(static_cast<unsigned char>(b));
    }
    if (256 - static_cast<int>(stops.size()) < kMinRun || stops.size() > kMaxBytes) continue;
    auto found = known.find(after);
    if (found == known.end()) {
      if (runs.size() == 255) continue;
      runs.push_back(Run{after, stops});
      found = known.emplace(std::move(after), static_cast<std::uint8_t>(runs.size())).first;
    }
    (*run_of)[s] = found->second;
  }
  return runs;
}

}  // namespace ptseg::skip
