#include "engine/engine.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define PTSEG_HAVE_AVX2_PATH 1
#endif

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "engine/breaks.h"

namespace ptseg {
namespace {

// What a rule does once it has matched, read off the generated scanner.
struct RuleAction {
  enum Kind { kEcho, kBreak, kRescan };
  static constexpr int kSameCondition = -1;
  Kind kind;
  int next;  // condition to switch to, or kSameCondition
  int cut;   // bytes of fixed trailing context given back
};

constexpr RuleAction kRuleActions[] = {
#include "rule_actions.inc"
};
constexpr int kRuleCount = sizeof kRuleActions / sizeof kRuleActions[0];
// The last rule copies one byte that no other rule takes.
constexpr int kCopyByteRule = kRuleCount;

// What look-aheads found is remembered at every kMemoStride-th position of
// the buffer, by look-aheads of more than kRecordFrom bytes: shorter ones
// cost little to repeat, and recording them all would cost more than it
// saves.  One that starts inside the stretch an earlier look-ahead read
// without recording is recorded from kRecordAgainFrom bytes: runs of the
// same short look-ahead (79 bytes of "!" took 40 transitions a byte) then
// cost one walk to the next memo position each.
constexpr std::size_t kMemoStride = 16;
constexpr std::size_t kRecordFrom = 64;
constexpr std::size_t kRecordAgainFrom = 32;
// A copy of one byte is recognised without the full match step when the
// look-ahead from it dies within this many bytes.
constexpr std::size_t kQuickLimit = 16;
// Bytes kept readable after the stop byte, for scans 32 bytes at a time.
constexpr std::size_t kSlack = 32;
// The skip to the next trigger (see FindTriggers) compares each byte with
// at most this many trigger bytes, and is worth it only while a match
// that is no copy starts at most kMaxSkipDistance bytes before one.
constexpr int kMaxTriggers = 16;
constexpr int kMaxSkipDistance = 48;

// The bytes that MaybeSpecial flags: every byte below '\\' (controls,
// blanks, punctuation, digits, capitals) and those from 0xAB to 0xDC (left
// guillemet, accented capitals).  Small letters, the bulk of any text, are
// never flagged.
constexpr bool MaybeSpecial(int b) { return b < 0x5C || (b >= 0xAB && b <= 0xDC); }

#ifdef __SSE2__
// A bit for each of the 16 bytes at p that MaybeSpecial flags.
inline unsigned MaybeSpecial(const unsigned char* p) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
  // Unsigned comparisons, done as signed ones on bytes shifted by 0x80.
  const __m128i low =
      _mm_cmplt_epi8(_mm_xor_si128(bytes, bias), _mm_set1_epi8(static_cast<char>(0x5C ^ 0x80)));
  const __m128i high = _mm_cmplt_epi8(
      _mm_xor_si128(_mm_sub_epi8(bytes, _mm_set1_epi8(static_cast<char>(0xAB))), bias),
      _mm_set1_epi8(static_cast<char>((0xDD - 0xAB) ^ 0x80)));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(low, high)));
}
constexpr bool kScanBy16 = true;
#else
inline unsigned MaybeSpecial(const unsigned char*) { return 1; }
constexpr bool kScanBy16 = false;
#endif

// The first byte from p on that is one of the n bytes at `set`; one of
// them must follow (the stop byte, a line feed, always is one), with the
// vector's width less one readable bytes after it.
using TriggerFinder = const unsigned char* (*)(const unsigned char* p, const unsigned char* set);

template <int n>
const unsigned char* FindTriggerByByte(const unsigned char* p, const unsigned char* set) {
  for (;; ++p) {
    for (int i = 0; i < n; ++i) {
      if (*p == set[i]) return p;
    }
  }
}

#ifdef __SSE2__
template <int n>
const unsigned char* FindTriggerSse2(const unsigned char* p, const unsigned char* set) {
  __m128i wanted[n];
  for (int i = 0; i < n; ++i) wanted[i] = _mm_set1_epi8(static_cast<char>(set[i]));
  for (;; p += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hits = _mm_cmpeq_epi8(bytes, wanted[0]);
    for (int i = 1; i < n; ++i) hits = _mm_or_si128(hits, _mm_cmpeq_epi8(bytes, wanted[i]));
    const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (bits != 0) return p + __builtin_ctz(bits);
  }
}
#endif

#ifdef PTSEG_HAVE_AVX2_PATH
template <int n>
__attribute__((target("avx2"))) const unsigned char* FindTriggerAvx2(const unsigned char* p,
                                                                     const unsigned char* set) {
  __m256i wanted[n];
  for (int i = 0; i < n; ++i) wanted[i] = _mm256_set1_epi8(static_cast<char>(set[i]));
  for (;; p += 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i hits = _mm256_cmpeq_epi8(bytes, wanted[0]);
    for (int i = 1; i < n; ++i) hits = _mm256_or_si256(hits, _mm256_cmpeq_epi8(bytes, wanted[i]));
    const unsigned bits = static_cast<unsigned>(_mm256_movemask_epi8(hits));
    if (bits != 0) return p + __builtin_ctz(bits);
  }
}
#endif

// The finder for n trigger bytes (the set padded to 4, 8 or 16 with
// repeats): AVX2 where the processor has it, SSE2 on any other x86-64,
// byte by byte elsewhere.
template <int n>
TriggerFinder FinderFor() {
#ifdef PTSEG_HAVE_AVX2_PATH
  if (__builtin_cpu_supports("avx2")) return FindTriggerAvx2<n>;
#endif
#ifdef __SSE2__
  return FindTriggerSse2<n>;
#else
  return FindTriggerByByte<n>;
#endif
}

TriggerFinder FinderFor(int n) {
  if (n <= 4) return FinderFor<4>();
  if (n <= 8) return FinderFor<8>();
  return FinderFor<kMaxTriggers>();
}

// The states reached from the running text's start state away from a line
// start, with what each leads to by class (-1: nothing) and whether a match
// other than the copy of one byte ends there.
struct Reach {
  int classes = 0;
  std::vector<int> next;  // by index in reach order, class_count a row
  std::vector<bool> other_match;
};

Reach ReachFrom(const Automaton& a, int start) {
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
    r.other_match.push_back(first != 0 &&
                            a.acclist[static_cast<std::size_t>(first)] != kCopyByteRule);
  }
  return r;
}

// What a depth-first search over r finds when the byte classes flagged in
// `barred` are never read: either every path from the start dies having
// ended no match but the copy of one byte, and `depth` is the most bytes
// any reads before it does; or `path` holds the classes of one that ends
// another match or comes back on itself.
struct Avoidance {
  bool closed = false;
  int depth = 0;
  std::vector<int> path;
};

Avoidance Avoid(const Reach& r, const std::vector<bool>& barred) {
  const auto classes = static_cast<std::size_t>(r.classes);
  const std::size_t n = r.other_match.size();
  enum : char { kNew, kOnPath, kClosed };
  std::vector<char> mark(n, kNew);
  std::vector<int> height(n, 0);  // of closed states
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
      height[s] = std::max(height[s], height[static_cast<std::size_t>(t)] + 1);
    }
    if (f.c == classes) {  // all it leads to is closed
      mark[s] = kClosed;
      path.pop_back();
      if (!path.empty()) {
        const auto u = static_cast<std::size_t>(path.back().state);
        height[u] = std::max(height[u], height[s] + 1);
        ++path.back().c;
      }
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
    found.depth = height[0];
  } else {
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
      found.path.push_back(static_cast<int>(path[i].c));
    }
  }
  return found;
}

// The trigger classes: in running text away from a line start, every
// match but the copy of one byte reads a byte of one of them within its
// first `*distance` + 1 bytes.  Bytes that text runs on (letters, blanks)
// make poor triggers, and the rules say which they are: those of classes
// on which many states loop back to themselves.  So from the line feed's
// class on, as long as the search finds a path that avoids the set and
// ends another match or loops, the class on it of fewest such loops per
// byte (the first of them on a tie) joins the set; then classes that the
// later ones made needless are dropped again.  Empty when the set grows
// past kMaxTriggers bytes or the distance past kMaxSkipDistance.
std::vector<bool> FindTriggers(const Automaton& a, int start, int* distance) {
  const auto classes = static_cast<std::size_t>(a.class_count);
  std::vector<int> bytes_in(classes, 0);
  for (int b = 0; b < 256; ++b) ++bytes_in[a.byte_class[b]];
  std::vector<long> cost(classes, 0);
  for (std::size_t s = 1; s < a.next.size() / classes; ++s) {  // no row for the jam state
    for (std::size_t c = 1; c < classes; ++c) {
      if (Automaton::State(a.next[s * classes + c]) == s) ++cost[c];
    }
  }
  for (std::size_t c = 1; c < classes; ++c) cost[c] = (cost[c] + 1) * bytes_in[c];
  const Reach reach = ReachFrom(a, start);
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
  *distance = Avoid(reach, barred).depth;
  if (bytes > kMaxTriggers || *distance > kMaxSkipDistance) return {};
  return barred;
}

// Counts automaton transitions in builds that check the linear bound.
#ifdef PTSEG_COUNT_STEPS
#define PTSEG_STEPS(n) (steps_ += (n))
#else
#define PTSEG_STEPS(n) ((void)0)
#endif

// The parts of the two hot loops, SkipCopies and Step, are written as
// functions of their own but compiled into them, so that their state stays
// in registers.
#if defined(__GNUC__)
#define PTSEG_HOT_INLINE __attribute__((always_inline)) inline
#else
#define PTSEG_HOT_INLINE inline
#endif

// flex numbers the start conditions from 0; the rule file declares six.
constexpr int kMaxConditions = 8;

constexpr bool ConditionsFit() {
  for (const RuleAction& action : kRuleActions) {
    if (action.next >= kMaxConditions) return false;
  }
  return true;
}
static_assert(ConditionsFit(), "more start conditions than kMaxConditions");

}  // namespace

std::size_t GrownSize(std::size_t size, std::size_t needed) {
  if (needed > kMaxLookahead) return 0;
  while (size <= needed) size *= 2;
  // Doubling past the ceiling would only waste memory.
  const std::size_t cap = kMaxLookahead + kStartBufferSize;
  return size < cap ? size : cap;
}

// What the engine derives from the rule automaton: the same for every
// Engine, so made once.
struct Engine::Tables {
  // The entry into each start state, by condition and line-start flag.
  std::uint32_t start_entry[2 * kMaxConditions];
  // In running text, for each value of the line-start flag: the bytes
  // whose first step reaches a state where the copy of one byte is the
  // match, unless the look-ahead finds a longer one.
  bool copy_first[2][256];
  // Away from a line start: the bytes at which nothing but the copy of one
  // byte can match at all.
  bool plain_byte[256];
  // Whether every byte that the 16-byte scan passes over is plain.
  bool scan_by_16 = kScanBy16;
  // The row of the running text's start state, by line-start flag.
  std::uint32_t text_start_row[2];
  // Away from a line start in running text, every match but the copy of
  // one byte has a trigger byte within skip_distance bytes after its first
  // (see FindTriggers): a copy stands at every byte more than that before
  // the next trigger.  find_trigger finds it among trigger_set, the
  // trigger bytes padded with repeats.  Off when PTSEG_NO_SKIP is set (to
  // anything but 0).
  bool skip = false;
  std::size_t skip_distance = 0;
  TriggerFinder find_trigger = nullptr;
  unsigned char trigger_set[kMaxTriggers];

  explicit Tables(const Automaton& a) {
    for (int c = 0; c < kMaxConditions; ++c) {
      for (int bol = 0; bol < 2; ++bol) {
        start_entry[2 * c + bol] = a.EntryOf(Automaton::StartState(c, bol != 0));
      }
    }
    for (int bol = 0; bol < 2; ++bol) {
      const std::uint32_t start = Automaton::Row(start_entry[2 * a.text_condition + bol]);
      text_start_row[bol] = start;
      for (int b = 0; b < 256; ++b) {
        const std::uint32_t to = a.next[start + a.byte_class[b]];
        const int first = a.first_match[Automaton::State(to)];
        const bool copy =
            to != Automaton::kJam && a.acclist[static_cast<std::size_t>(first)] == kCopyByteRule;
        bool dead_end = true;
        for (int c = 1; copy && dead_end && c < a.class_count; ++c) {
          dead_end = a.next[Automaton::Row(to) + static_cast<std::uint32_t>(c)] == Automaton::kJam;
        }
        copy_first[bol][b] = copy;
        // A line feed changes the line-start flag, so it is never skipped.
        if (bol == 0) plain_byte[b] = copy && dead_end && b != '\n';
      }
    }
    for (int b = 0; b < 256; ++b) {
      if (!plain_byte[b] && !MaybeSpecial(b)) scan_by_16 = false;
    }
    const char* no_skip = std::getenv("PTSEG_NO_SKIP");
    if (no_skip == nullptr || *no_skip == '\0' || std::strcmp(no_skip, "0") == 0) {
      FindSkip(a);
    }
  }

  void FindSkip(const Automaton& a) {
    int distance = 0;
    const std::vector<bool> triggers =
        FindTriggers(a, Automaton::StartState(a.text_condition, false), &distance);
    if (triggers.empty()) {
      // The rules have changed so that running text has no short stretch
      // before every match: skipping would be wrong, and running without
      // it much slower.
      std::fprintf(stderr,
                   "ptseg: no match in running text is bound to come within %d bytes of "
                   "at most %d trigger bytes; the engine cannot skip copies "
                   "(PTSEG_NO_SKIP=1 runs without the skip)\n",
                   kMaxSkipDistance, kMaxTriggers);
      std::abort();
    }
    int n = 0;
    for (int b = 0; b < 256; ++b) {
      if (triggers[a.byte_class[b]] && n < kMaxTriggers)
        trigger_set[n++] = static_cast<unsigned char>(b);
    }
    for (int i = n; i < kMaxTriggers; ++i) trigger_set[i] = trigger_set[0];
    skip_distance = static_cast<std::size_t>(distance);
    find_trigger = FinderFor(n);
    skip = true;
  }
};

Engine::Engine(EngineListener* listener, bool at_line_start)
    : a_(RuleAutomaton()),
      listener_(listener),
      condition_(a_.text_condition),
      at_line_start_(at_line_start) {
  static_assert(Automaton::kMaxStates <= MemoEntry::kMore, "states collide with kMore");
  static const Tables tables(a_);
  t_ = &tables;
  Reserve(kStartBufferSize);
  const auto groups = static_cast<std::size_t>(a_.head_group_count) + 1;
  head_end_.assign(groups, 0);
  head_before_.assign(groups, 0);
  head_walk_.assign(groups, 0);
  buf_[0] = '\n';
  std::memset(buf_.get() + 1, 0, kSlack);
}

char* Engine::Space(std::size_t* room) {
  // Decided text goes to the listener before its bytes are dropped.
  Deliver(pos_);
  Drop();
  if (len_ - pos_ >= kMaxLookahead) throw engine::EngineError(kLookaheadMessage);
  // Keep one byte free for the stop byte.
  if (len_ + 1 >= cap_) Reserve(len_ + 1);
  const std::size_t free = cap_ - len_ - 1;
  *room = free < kMaxCommit ? free : kMaxCommit;
  return buf_.get() + len_;
}

// Drops the whole strides before pos_ (delivered already), and overflow
// entries for them.
void Engine::Drop() {
  const std::size_t drop = pos_ - pos_ % kMemoStride;
  if (drop == 0) return;
  const std::size_t kept = len_ - drop;
  std::memmove(buf_.get(), buf_.get() + drop, kept);
  const std::size_t slots = kept / kMemoStride + 1;
  std::memmove(memo_.get(), memo_.get() + drop / kMemoStride, slots * sizeof(MemoSlot));
  std::memmove(seen_.get(), seen_.get() + drop / kMemoStride, slots * sizeof(std::uint16_t));
  len_ = kept;
  pos_ -= drop;
  delivered_ -= drop;
  base_ += drop;
  if (overflow_.size() > prune_at_) {
    // Entries for dropped positions can never match again.
    for (auto it = overflow_.begin(); it != overflow_.end();) {
      it = (it->first >> 16) < base_ / kMemoStride ? overflow_.erase(it) : std::next(it);
    }
    prune_at_ = 2 * overflow_.size() + 1024;
  }
}

void Engine::Commit(std::size_t size) {
  // Nothing is known yet of the positions after the new bytes.
  for (std::size_t j = len_ / kMemoStride + 1; j <= (len_ + size) / kMemoStride; ++j) {
    memo_[j] = MemoSlot{};
  }
  len_ += size;
  buf_[len_] = '\n';  // the stop byte
  std::memset(buf_.get() + len_ + 1, 0, kSlack);
  Run();
}

void Engine::Finish() {
  at_end_ = true;
  Run();
}

// Matches as far as the bytes held decide, then hands the decided text
// over.
void Engine::Run() {
  for (;;) {
    if (condition_ == a_.text_condition && !look_.active) SkipCopies();
    if (pos_ == len_ || !Step()) break;
  }
  Deliver(pos_);
}

// In running text most bytes are copied one at a time by the catch-all
// rule.  Moves pos_ past such bytes, up to the first where a full match
// step is needed.
void Engine::SkipCopies() {
  const unsigned char* const text = reinterpret_cast<unsigned char*>(buf_.get());
  const unsigned char* const end = text + len_;
  const std::uint32_t start[2] = {t_->text_start_row[0], t_->text_start_row[1]};
  const unsigned char* p = text + pos_;
  bool bol = at_line_start_;
  for (;; ++p) {
    if (!bol) {
      if (t_->skip) {
        // The stop byte after the data is a trigger too, but not one to
        // remember: bytes may come after it.
        auto at = static_cast<std::size_t>(p - text);
        if (trigger_ < base_ + at) {
          trigger_ = base_ + static_cast<std::size_t>(t_->find_trigger(p, t_->trigger_set) - text);
        }
        const auto trigger = static_cast<std::size_t>(trigger_ - base_);
        if (trigger - at > t_->skip_distance) p = text + (trigger - t_->skip_distance);
        if (trigger == len_) trigger_ = 0;
      }
      // The stop byte after the data is never plain.
      p = SkipPlain(p);
    }
    if (p == end || !t_->copy_first[bol][*p]) break;
    if (!CopyStands(p, end, start[bol])) break;
    bol = *p == '\n';
  }
  pos_ = static_cast<std::size_t>(p - text);
  at_line_start_ = bol;
}

// The first byte from p on that is not plain (see Tables), away from a
// line start.
PTSEG_HOT_INLINE const unsigned char* Engine::SkipPlain(const unsigned char* p) const {
  if (t_->scan_by_16) {
    for (;;) {
      const unsigned candidates = MaybeSpecial(p);
      if (candidates == 0) {
        p += 16;
        continue;
      }
      p += __builtin_ctz(candidates);
      if (!t_->plain_byte[*p]) return p;
      ++p;
    }
  }
  while (t_->plain_byte[*p]) ++p;
  return p;
}

// Whether the copy of the byte at p, whose first step from the start state
// (at row start_row) reaches a state where that copy is the match, stands:
// the look-ahead from it dies before it reaches another match.  When it may not, the walk is handed
// to Step (see walked_) and the answer is false.
PTSEG_HOT_INLINE bool Engine::CopyStands(const unsigned char* p, const unsigned char* end,
                                         std::uint32_t start_row) {
  const std::uint32_t* const next = a_.next.data();
  const std::uint8_t* const byte_class = a_.byte_class;
  const std::uint32_t first = next[start_row + byte_class[*p]];
  PTSEG_STEPS(1);
  std::uint32_t entry = first;
  const unsigned char* q = p + 1;  // the next byte to read from entry
  std::uint32_t passed[3];         // the states passed on the way to q
  int passed_count = 0;
  if (end - p > 3) {
    // Most look-aheads die within four bytes; those are followed without a
    // branch (the jam entry leads to the row of state 0, all jams).
    PTSEG_STEPS(3);
    const std::uint32_t second = next[Automaton::Row(first) + byte_class[p[1]]];
    const std::uint32_t third = next[Automaton::Row(second) + byte_class[p[2]]];
    const std::uint32_t fourth = next[Automaton::Row(third) + byte_class[p[3]]];
    if (fourth == Automaton::kJam && !Automaton::EndsMatch(second | third)) return true;
    // Go on from the furthest of these that cannot end a match.
    const std::uint32_t ahead[3] = {second, third, fourth};
    while (passed_count < 3 && ahead[passed_count] != Automaton::kJam &&
           !Automaton::EndsMatch(ahead[passed_count])) {
      passed[passed_count] = entry;
      entry = ahead[passed_count++];
      ++q;
    }
  }
  return WalkCopy(p, end, first, q, entry, passed, passed_count);
}

// A longer look-ahead from the copy at p, which stands at q in `entry`
// having passed `passed_count` states after `first`: followed while it
// cannot end a match.  If it can, the full match step takes over from
// where this walk stands, told where heads ended on the way.
bool Engine::WalkCopy(const unsigned char* p, const unsigned char* end, std::uint32_t first,
                      const unsigned char* q, std::uint32_t entry, const std::uint32_t* passed,
                      int passed_count) {
  const std::uint32_t* const next = a_.next.data();
  const std::uint8_t* const byte_class = a_.byte_class;
  const unsigned char* const limit =
      end - p > static_cast<std::ptrdiff_t>(kQuickLimit) ? p + kQuickLimit + 1 : end;
  // Inside a stretch an earlier look-ahead read, what a look-ahead recorded
  // at a memo position may decide this one at once: the walk stops to look
  // at each it reaches.
  const unsigned char* const text = reinterpret_cast<unsigned char*>(buf_.get());
  const unsigned char* stop = limit;
  if (base_ + static_cast<std::size_t>(p - text) < reach_) {
    const auto at = static_cast<std::size_t>(q - text);
    const unsigned char* memo_at = text + (at + kMemoStride - 1) / kMemoStride * kMemoStride;
    if (memo_at < limit) stop = memo_at;
  }
  ++walk_;
  for (int i = 0; i < passed_count; ++i) {
    if (Automaton::EndsHead(passed[i])) {
      NoteHeads(Automaton::State(passed[i]), static_cast<std::size_t>(i + 1), 1);
    }
  }
  for (;; ++q) {
    if (Automaton::EndsHead(entry)) {
      NoteHeads(Automaton::State(entry), static_cast<std::size_t>(q - p), 1);
    }
    if (q == stop) {
      if (q == limit) break;
      if (const MemoEntry* known =
              Recalled(static_cast<std::size_t>(q - text) / kMemoStride, Automaton::State(entry))) {
        // No match ends further on: the copy stands.  Else Step takes
        // what is known from here.
        if (known->far == 0) return true;
        break;
      }
      stop = limit - q > static_cast<std::ptrdiff_t>(kMemoStride) ? q + kMemoStride : limit;
    }
    const std::uint32_t to = next[Automaton::Row(entry) + byte_class[*q]];
    PTSEG_STEPS(1);
    if (to == Automaton::kJam) return true;
    if (Automaton::EndsMatch(to)) break;
    entry = to;
  }
  walked_ = static_cast<std::size_t>(q - p);
  walked_entry_ = entry;
  walked_first_ = first;
  return false;
}

// One match step: look ahead as far as any rule of the condition could
// still match, back up to the longest match, run its action.  Returns
// false when the bytes run out before that is decided.
//
// The look-ahead is what could make the scan quadratic: a rule's trailing
// context may read far ahead (a colon reads on to the end of the next
// sentence) while its action keeps only a few bytes, and the next attempt
// reads the same stretch again.  So every kMemoStride-th position that a
// look-ahead of more than kRecordFrom bytes passed (kRecordAgainFrom when it
// reads a stretch again), with the state it was in there, is remembered
// with what the look-ahead found from there on (MemoEntry), and a later
// look-ahead that reaches a remembered pair takes that and stops: the
// automaton is deterministic, so from the same state at the same position
// it would read the same bytes to the same end.  SkipCopies' walk checks
// the memo positions it passes inside such a stretch too.
//
// The bound that follows, for any rule set: a look-ahead that records
// nothing has walked at most kRecordFrom + kMemoStride bytes; one that
// records walks at most kMemoStride bytes before its first check, and
// after it every kMemoStride bytes lead to a pair that no later look-ahead
// walks past again.  With SkipCopies' walk (at most
// kQuickLimit + 4 transitions, never repeated by the step it hands over
// to), a match attempt costs at most 100 transitions of its own, plus one
// per byte for each state look-aheads stand in at one position (at most
// the automaton's state count; a handful on every text we know).  Every
// condition but running text lasts one match, so there are at most two
// attempts per byte: time is linear in the input.  Choosing the rule adds
// nothing: where each head ends is noted on the way (NoteHeads), or
// remembered.
bool Engine::Step() {
  LookAhead look = Begin();
  if (!LookFurther(&look)) {
    look_ = look;  // to go on when more bytes come
    return false;
  }
  look_.active = false;
  Decide(look);
  return true;
}

// The look-ahead to go on with: the one that ran out of bytes, the one
// SkipCopies handed over, or a new one from pos_.
PTSEG_HOT_INLINE Engine::LookAhead Engine::Begin() {
  if (look_.active) return look_;
  LookAhead look;
  if (walked_ != 0) {  // SkipCopies has walked the first bytes already
    look.k = walked_;
    look.entry = walked_entry_;
    look.last = 1;
    look.at_last = walked_first_;
    walked_ = 0;
  } else {
    look.entry = t_->start_entry[2 * condition_ + (at_line_start_ ? 1 : 0)];
    ++walk_;
  }
  return look;
}

// Goes on with *look until it is decided (true) or the bytes held run out
// before that (false, *look active).
PTSEG_HOT_INLINE bool Engine::LookFurther(LookAhead* look) {
  const std::uint32_t* const next = a_.next.data();
  const std::uint8_t* const byte_class = a_.byte_class;
  // In locals while it runs.
  std::size_t k = look->k, last = look->last, head = look->head;
  std::size_t first_checked = look->first_checked, checked = look->checked;
  std::uint32_t entry = look->entry, at_last = look->at_last;
  const auto stop_here = [&](bool active) {
    *look = LookAhead{active, k, last, at_last, head, first_checked, checked, entry};
    return !active;
  };
  const unsigned char* const text = reinterpret_cast<unsigned char*>(buf_.get()) + pos_;
  const std::size_t avail = len_ - pos_;
  for (;;) {
    // A memo position, the look-ahead's own or where SkipCopies handed over.
    if ((pos_ + k) % kMemoStride == 0 && k > 0) {
      if (Recall(k, entry, &last, &at_last, &head)) return stop_here(false);
      if (first_checked == 0) first_checked = k;
      checked = k;
    }
    if (k == avail) return stop_here(!at_end_);  // to go on when more bytes come
    const std::size_t to_stride = kMemoStride - (pos_ + k) % kMemoStride;
    const std::size_t stop = avail - k < to_stride ? avail : k + to_stride;
    while (k < stop) {
      const std::uint32_t to = next[Automaton::Row(entry) + byte_class[text[k]]];
      PTSEG_STEPS(1);
      if (to == Automaton::kJam) return stop_here(false);
      entry = to;
      ++k;
      if ((to & (Automaton::kEndsMatch | Automaton::kEndsHead)) != 0) {
        if (Automaton::EndsHead(to)) NoteHeads(Automaton::State(to), k, last);
        if (Automaton::EndsMatch(to)) {
          last = k;
          at_last = to;
        }
      }
    }
  }
}

// At the memo position k bytes into the look-ahead, in `entry`: takes what
// an earlier look-ahead found from there in the same state and returns
// true, or notes the state and returns false.
PTSEG_HOT_INLINE bool Engine::Recall(std::size_t k, std::uint32_t entry, std::size_t* last,
                                     std::uint32_t* at_last, std::size_t* head) {
  const std::size_t slot = (pos_ + k) / kMemoStride;
  const int state = Automaton::State(entry);
  if (const MemoEntry* known = Recalled(slot, state)) {
    if (known->far != 0) {
      *last = k + known->far;
      *at_last = a_.EntryOf(known->far_state);
      *head = known->head != 0 ? k + known->head : 0;
    }
    return true;
  }
  seen_[slot] = static_cast<std::uint16_t>(state);
  return false;
}

// The look-ahead is decided: picks the rule, remembers what it found and
// runs the action.
PTSEG_HOT_INLINE void Engine::Decide(const LookAhead& look) {
  if (look.last == 0) throw engine::EngineError(engine::kNoActionMessage);
  const int state = Automaton::State(look.at_last);
  int rule = a_.acclist[static_cast<std::size_t>(a_.first_match[static_cast<std::size_t>(state)])];
  std::size_t end = look.last;
  std::size_t head = look.head;
  if ((rule & a_.trailing_mask) != 0) {
    // A head/trail rule keeps only its head: the rightmost end of it at or
    // before the end of the whole match.
    rule &= ~a_.trailing_mask;
    if (head == 0) head = HeadEnd(rule, look.last);
    if (head == 0) throw engine::EngineError(engine::kNoActionMessage);
    end = head;
  }
  // Only the positions this step itself passed: SkipCopies' walk, which it
  // may have taken over, noted no states.  A short look-ahead is recorded
  // too when it started inside the stretch an earlier one read: the next
  // one may well read it a third time.
  const std::uint64_t from = base_ + pos_;
  if (look.checked > kRecordFrom || (from < reach_ && look.checked >= kRecordAgainFrom)) {
    Remember(look.first_checked, look.checked, look.last, state, head);
  } else if (from + look.k >= reach_) {
    reach_ = from + look.k + 1;
  }
  assert(rule != kCopyByteRule || condition_ == a_.text_condition);
  if (rule == kCopyByteRule) {  // the most common action, kept short
    at_line_start_ = buf_[pos_++] == '\n';
  } else {
    Act(rule, end);
  }
}

// State s, reached after k bytes, ends the heads of some head/trail
// rules; `last` is the furthest match end so far.
void Engine::NoteHeads(int s, std::size_t k, std::size_t last) {
  const auto g = static_cast<std::size_t>(a_.head_group[static_cast<std::size_t>(s)]);
  if (head_walk_[g] != walk_) {
    head_walk_[g] = walk_;
    head_before_[g] = 0;
  } else if (head_end_[g] <= last) {
    head_before_[g] = head_end_[g];
  }
  head_end_[g] = k;
}

// The rightmost end of the head of `rule` at or before `last`, among those
// noted in this look-ahead; 0 for none.
std::size_t Engine::HeadEnd(int rule, std::size_t last) const {
  std::size_t rightmost = 0;
  if (static_cast<std::size_t>(rule) + 1 >= a_.rule_groups_from.size()) return 0;
  for (int i = a_.rule_groups_from[static_cast<std::size_t>(rule)];
       i < a_.rule_groups_from[static_cast<std::size_t>(rule) + 1]; ++i) {
    const auto g = static_cast<std::size_t>(a_.rule_groups[static_cast<std::size_t>(i)]);
    if (head_walk_[g] != walk_) continue;
    const std::size_t end = head_end_[g] <= last ? head_end_[g] : head_before_[g];
    if (end > rightmost) rightmost = end;
  }
  return rightmost;
}

// What an earlier look-ahead found from `state` at memo slot `slot`, or null.
const MemoEntry* Engine::Recalled(std::size_t slot, int state) const {
  const MemoSlot& entries = memo_[slot];
  for (const MemoEntry& entry : entries.way) {
    if ((entry.state & ~MemoEntry::kMore) == state) return &entry;
  }
  if ((entries.way[MemoSlot::kWays - 1].state & MemoEntry::kMore) == 0) return nullptr;
  const auto found =
      overflow_.find((base_ / kMemoStride + slot) << 16 | static_cast<std::uint64_t>(state));
  return found == overflow_.end() ? nullptr : &found->second;
}

// Remembers, for the memo positions this look-ahead passed from `from` to
// `to` bytes into it, what it found from each of them on: the furthest
// match end after it, `last`, in `last_state`, whose head (if the match
// has one) ends at `head`.  Each entry states only what this look-ahead saw.
void Engine::Remember(std::size_t from, std::size_t to, std::size_t last, int last_state,
                      std::size_t head) {
  for (std::size_t k = from + (kMemoStride - (pos_ + from) % kMemoStride) % kMemoStride; k <= to;
       k += kMemoStride) {
    const std::size_t slot = (pos_ + k) / kMemoStride;
    const std::uint16_t state = seen_[slot];
    MemoEntry found{state, 0, 0, 0};
    if (last > k) {
      found.far_state = static_cast<std::uint16_t>(last_state);
      found.far = static_cast<std::uint32_t>(last - k);
      found.head = head > k ? static_cast<std::uint32_t>(head - k) : 0;
    }
    MemoSlot& entries = memo_[slot];
    MemoEntry* into = nullptr;
    for (MemoEntry& entry : entries.way) {
      const std::uint16_t held = entry.state & ~MemoEntry::kMore;
      if (held == state || (held == 0 && into == nullptr)) into = &entry;
      if (held == state) break;
    }
    if (into != nullptr) {
      found.state |= into->state & MemoEntry::kMore;
      *into = found;
    } else {
      entries.way[MemoSlot::kWays - 1].state |= MemoEntry::kMore;
      overflow_[(base_ / kMemoStride + slot) << 16 | state] = found;
    }
  }
}

// Runs the action of `rule` on the first `length` bytes of the attempt.
void Engine::Act(int rule, std::size_t length) {
  const RuleAction& action = kRuleActions[rule - 1];
  const std::size_t start = pos_;
  const std::size_t kept_end = start + length - static_cast<std::size_t>(action.cut);
  if (kept_end > start) at_line_start_ = buf_[kept_end - 1] == '\n';
  switch (action.kind) {
    case RuleAction::kEcho:
      pos_ = kept_end;
      break;
    case RuleAction::kBreak:
      pos_ = kept_end;
      Deliver(kept_end);
      listener_->Break(base_ + kept_end, StartsParagraph(static_cast<unsigned char>(buf_[start])));
      break;
    case RuleAction::kRescan:
      break;
  }
  if (action.next != RuleAction::kSameCondition) condition_ = action.next;
}

// Hands the bytes up to `end` to the listener.
void Engine::Deliver(std::size_t end) {
  if (end > delivered_) listener_->Text(buf_.get() + delivered_, end - delivered_);
  delivered_ = end;
}

// Grows the buffer and the arrays kept per byte so that `needed` bytes
// leave room for one more.
void Engine::Reserve(std::size_t needed) {
  const std::size_t size = cap_ == 0 ? needed : GrownSize(cap_, needed);
  if (size == 0) throw engine::EngineError(kLookaheadMessage);
  buf_.Grow(size + kSlack);
  const std::size_t slots = size / kMemoStride + 2;
  memo_.Grow(slots);
  seen_.Grow(slots);
  if (cap_ == 0) memo_[0] = MemoSlot{};
  cap_ = size;
}

}  // namespace ptseg
