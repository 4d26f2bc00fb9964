#include "engine/engine.h"

#ifdef __SSE2__
#include <emmintrin.h>
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
#include "engine/byte_copy.h"
#include "engine/rule_actions.h"

namespace ptseg {
namespace {

using rules::kCopyByteRule;
using rules::kRuleActions;
using rules::RuleAction;

// A run as the build wrote it (see engine_tables.cpp).
struct SkipRun {
  int stop_count;
  unsigned char stops[search::kMaxBytes];
  std::uint32_t after[257];  // by class; a class of each byte and the end-of-buffer mark at most
};

// kTriggerLeadIn, kLeadInRow, kFirstBytes, kSecondBytes, kRunOf and kRuns,
// derived from the rules at build time.
#include "skip_tables.inc"

// What look-aheads found is remembered at every kMemoStride-th position of
// the buffer, but only where a look-ahead reads bytes that an earlier one
// read already, and only by one that has come kRecordFrom bytes or more:
// shorter ones cost little to repeat, and bytes read once, as most bytes
// of a text are, need no record.  Runs of the same short look-ahead (79
// bytes of "!" took 40 transitions a byte before they were recorded) cost
// one walk to the next memo position each.
constexpr std::size_t kMemoStride = 16;
constexpr std::size_t kRecordFrom = 32;
// A look-ahead passes at most this many bytes of a run at once (see
// PassRun), mostly the first kNearStop of them without a vector search.
constexpr std::size_t kRunPiece = 256;
constexpr std::size_t kNearStop = 8;
// A copy of one byte is recognised without the full match step when the
// look-ahead from it dies within this many bytes.
constexpr std::size_t kQuickLimit = 16;
// Bytes kept readable after the stop byte, for scans of up to 64 bytes at
// a time.
constexpr std::size_t kSlack = 64;

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
// Decide copies the byte of the last rule's match itself, with no action.
constexpr RuleAction kCopyAction = kRuleActions[kCopyByteRule - 1];
static_assert(kCopyAction.kind == RuleAction::kEcho &&
                  kCopyAction.next == RuleAction::kSameCondition && kCopyAction.head == 0 &&
                  kCopyAction.cut == 0,
              "the last rule does not copy its byte and stay");

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
  // The bytes at which nothing but the copy of one byte can match at all,
  // by line-start flag.
  bool plain[2][256];
  // Whether every byte that the 16-byte scan passes over is plain.
  bool scan_by_16 = kScanBy16;
  // The row of the running text's start state, by line-start flag.
  std::uint32_t text_start_row[2];
  // Away from a line start in running text, every match but the copy of
  // one byte reads a trigger byte t (one of `triggers`) after at most
  // lead_in[t] bytes: a copy stands at every byte more than that before
  // the next trigger.
  bool skip = false;
  std::uint8_t lead_in[256] = {};
  std::size_t max_lead_in = 0;
  search::ByteSet triggers;
  // The head groups where each rule's head ends (see Automaton), by rule:
  // HeadEnd finds them in one place.
  struct RuleGroups {
    static constexpr int kMax = 8;
    std::uint8_t count = 0;
    std::uint8_t group[kMax] = {};
  };
  RuleGroups rule_groups[rules::kRuleCount + 1];
  // The runs a look-ahead passes at once (see PassRun), and, by state,
  // 1 + the index of the run from it, or 0.
  std::vector<ByteRun> runs;
  std::vector<std::uint8_t> run_of;
  // Whether short steps are kept (see Step).
  bool short_steps = false;
  // Both skips, and the short steps kept, are off when PTSEG_NO_SKIP is
  // set (to anything but 0).
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
        plain[bol][b] = copy && dead_end && b != '\n';
      }
    }
    for (int b = 0; b < 256; ++b) {
      if (!plain[0][b] && !MaybeSpecial(b)) scan_by_16 = false;
    }
    for (std::size_t rule = 0; rule <= rules::kRuleCount && rule + 1 < a.rule_groups_from.size();
         ++rule) {
      RuleGroups& groups = rule_groups[rule];
      for (int i = a.rule_groups_from[rule]; i < a.rule_groups_from[rule + 1]; ++i) {
        if (groups.count == RuleGroups::kMax || a.rule_groups[static_cast<std::size_t>(i)] > 255) {
          std::fprintf(stderr, "ptseg: a rule's head ends in more groups than the engine holds\n");
          std::abort();
        }
        groups.group[groups.count++] =
            static_cast<std::uint8_t>(a.rule_groups[static_cast<std::size_t>(i)]);
      }
    }
    run_of.assign(a.next.size() / static_cast<std::size_t>(a.class_count), 0);
    const char* no_skip = std::getenv("PTSEG_NO_SKIP");
    if (no_skip == nullptr || *no_skip == '\0' || std::strcmp(no_skip, "0") == 0) {
      FindSkip(a);
      short_steps = true;
    }
  }

  // Takes up what the build derived (skip_tables.inc) from these rules.
  void FindSkip(const Automaton& a) {
    if (run_of.size() != kSkipStates || a.class_count != kSkipClasses) {
      std::fprintf(stderr, "ptseg: the skip tables were made for other rules\n");
      std::abort();
    }
    bool in[256] = {};
    for (int b = 0; b < 256; ++b) {
      in[b] = kTriggerLeadIn[b] != 255;
      lead_in[b] = in[b] ? kTriggerLeadIn[b] : 0;
      max_lead_in = std::max<std::size_t>(max_lead_in, lead_in[b]);
    }
    // The stop byte, a line feed, ends every search for a trigger.
    skip = in[static_cast<unsigned char>('\n')] && search::MakeByteSet(in, &triggers);
    for (std::size_t r = 0; r < kRunCount; ++r) {
      bool stop[256] = {};
      for (int i = 0; i < kRuns[r].stop_count; ++i) stop[kRuns[r].stops[i]] = true;
      runs.push_back(ByteRun{kRuns[r].after, {}});
      if (!search::MakeByteSet(stop, &runs.back().stops)) std::abort();  // checked at build time
    }
    run_of.assign(kRunOf, kRunOf + kSkipStates);
  }
};

Engine::Engine(EngineListener* listener, bool at_line_start)
    : a_(RuleAutomaton()), listener_(listener), condition_(a_.text_condition) {
  static_assert(Automaton::kMaxStates <= MemoEntry::kMore, "states collide with kMore");
  static const Tables tables(a_);
  t_ = &tables;
  Reserve(kStartBufferSize);
  const auto groups = static_cast<std::size_t>(a_.head_group_count) + 1;
  heads_.assign(groups, HeadMark{});
  Restart(at_line_start);
}

void Engine::Restart(bool at_line_start) {
  // A buffer grown for one long look-ahead goes back to its first size.
  if (cap_ > kStartBufferSize) {
    buf_ = {};
    memo_ = {};
    memo_more_ = {};
    memo_used_ = {};
    seen_ = {};
    cap_ = 0;
    Reserve(kStartBufferSize);
  }
  memo_used_[0] = 0;
  at_end_ = false;
  len_ = pos_ = delivered_ = 0;
  base_ = 0;
  overflow_.clear();
  prune_at_ = 0;
  look_ = LookAhead{};
  // heads_ stays: its marks are of walks before walk_.
  condition_ = a_.text_condition;
  at_line_start_ = at_line_start;
  reach_ = 0;
  trigger_block_ = kNoTriggerBlock;
  trigger_bits_ = 0;
  stop_run_ = nullptr;
  walked_ = 0;
  walked_entry_ = walked_first_ = 0;
  break_count_ = 0;
#ifdef PTSEG_COUNT_STEPS
  steps_ = 0;
#endif
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
  MoveBytes(buf_.get(), buf_.get() + drop, kept);
  buf_[kept] = '\n';  // the stop byte, for a Finish with no Commit before it
  std::memset(buf_.get() + kept + 1, 0, kSlack);
  const std::size_t slots = kept / kMemoStride + 1;
  MoveBytes(reinterpret_cast<char*>(memo_.get()),
            reinterpret_cast<const char*>(memo_.get() + drop / kMemoStride),
            slots * sizeof(MemoEntry));
  MoveBytes(reinterpret_cast<char*>(memo_more_.get()),
            reinterpret_cast<const char*>(memo_more_.get() + drop / kMemoStride),
            slots * sizeof(MemoMore));
  std::memmove(memo_used_.get(), memo_used_.get() + drop / kMemoStride, slots);
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
  const std::size_t first_slot = len_ / kMemoStride + 1;
  const std::size_t last_slot = (len_ + size) / kMemoStride;
  if (last_slot >= first_slot) {
    std::memset(memo_used_.get() + first_slot, 0, last_slot - first_slot + 1);
  }
  // The bytes after the old end were not the stream's.
  if (trigger_block_ + 64 > base_ + len_) trigger_block_ = kNoTriggerBlock;
  if (stop_block_ + 64 > base_ + len_) stop_run_ = nullptr;
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
  try {
    for (;;) {
      if (condition_ == a_.text_condition && !look_.active) SkipCopies();
      if (pos_ == len_ || !Step()) break;
    }
  } catch (...) {
    Deliver(pos_);  // what was decided before the failure is kept
    throw;
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
        const auto at = static_cast<std::size_t>(p - text);
        const std::size_t trigger = NextTrigger(at);
        if (trigger < len_) {
          p = FirstStart(p, text + trigger);
        } else if (trigger - at > t_->max_lead_in) {
          // Bytes after the stop byte are yet unknown: any trigger may follow.
          p = text + (trigger - t_->max_lead_in);
        }
      }
      // The stop byte after the data is never plain.  Where a match may
      // start, as at most bytes FirstStart stops at, the scan is not needed.
      if (t_->plain[0][*p]) p = SkipPlain(p);
    }
    if (p == end || !t_->copy_first[bol][*p]) break;
    // At a line start, the first byte may tell alone (a small letter).
    if (!(bol && t_->plain[1][*p]) && !CopyStands(p, end, start[bol])) break;
    bol = *p == '\n';
  }
  pos_ = static_cast<std::size_t>(p - text);
  at_line_start_ = bol;
}

// The first trigger byte at or after buffer offset `at`, or len_ (the stop
// byte, a line feed, is a trigger).
PTSEG_HOT_INLINE std::size_t Engine::NextTrigger(std::size_t at) {
  std::uint64_t from = base_ + at;
  for (;;) {
    if (from - trigger_block_ < 64) {
      const std::uint64_t bits = trigger_bits_ >> (from - trigger_block_);
      if (bits != 0) {
        const auto found = static_cast<std::size_t>(from - base_) + __builtin_ctzll(bits);
        return found < len_ ? found : len_;
      }
      from = trigger_block_ + 64;
    }
    trigger_block_ = from;
    trigger_bits_ = t_->triggers.mask(
        reinterpret_cast<unsigned char*>(buf_.get()) + static_cast<std::size_t>(from - base_),
        t_->triggers);
  }
}

// The first byte from p on, before the trigger byte at `trigger` (the next
// one), at which the first two bytes allow a match but the copy of one
// byte (see kFirstBytes); else the trigger.
PTSEG_HOT_INLINE const unsigned char* Engine::FirstStart(const unsigned char* p,
                                                         const unsigned char* trigger) const {
  const std::size_t lead_in = t_->lead_in[*trigger];
  if (static_cast<std::size_t>(trigger - p) > lead_in) p = trigger - lead_in;
  // The row for distance d is kLeadInRow[*trigger] + d - 1 (none is read
  // for a trigger without a lead-in).
  const std::size_t row = std::size_t{kLeadInRow[*trigger]} - 1;
  for (; p < trigger; ++p) {
    // Set 0, that of most first bytes, is empty: it is looked up all the
    // same, as a branch on it would be mispredicted at every blank.
    const unsigned set = kFirstBytes[row + static_cast<std::size_t>(trigger - p)][p[0]];
    if ((kSecondBytes[set][p[1] >> 6] >> (p[1] & 63) & 1) != 0) break;
  }
  return p;
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
      if (!t_->plain[0][*p]) return p;
      ++p;
    }
  }
  while (t_->plain[0][*p]) ++p;
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
    if (passed_count < 3) {
      // The next byte ends a match (a jam there returned above): the full
      // match step takes over at once, and looks at the memo itself.
      WalkFrom(passed, passed_count);
      if (Automaton::EndsHead(entry)) {
        NoteHeads(Automaton::State(entry), static_cast<std::size_t>(q - p), 1);
      }
      HandOver(static_cast<std::size_t>(q - p), entry, first);
      return false;
    }
  }
  return WalkCopy(p, end, first, q, entry, passed, passed_count);
}

// A walk from a copy begins, having passed `count` states after its first
// byte: notes the head ends among them.
PTSEG_HOT_INLINE void Engine::WalkFrom(const std::uint32_t* passed, int count) {
  ++walk_;
  for (int i = 0; i < count; ++i) {
    if (Automaton::EndsHead(passed[i])) {
      NoteHeads(Automaton::State(passed[i]), static_cast<std::size_t>(i + 1), 1);
    }
  }
}

// Hands a walk that read `walked` bytes to Step, standing in `entry`,
// with `first` the entry after the first byte.
PTSEG_HOT_INLINE void Engine::HandOver(std::size_t walked, std::uint32_t entry,
                                       std::uint32_t first) {
  walked_ = walked;
  walked_entry_ = entry;
  walked_first_ = first;
}

// The first byte from p on, before `stop`, that leads out of the state
// `entry` enters; else stop.
PTSEG_HOT_INLINE const unsigned char* Engine::KeepingState(const unsigned char* p,
                                                           const unsigned char* stop,
                                                           std::uint32_t entry) const {
  const std::uint32_t* const row = a_.next.data() + Automaton::Row(entry);
  while (p < stop && row[a_.byte_class[*p]] == entry) ++p;
  return p;
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
  WalkFrom(passed, passed_count);
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
    if (to == entry && q - p >= 2) {
      // Bytes that keep the state (the blanks after a line break) are
      // passed at once up to the next stop.  Of the head ends among them
      // only the last counts: none of them is at or before the end of the
      // copy, the only match so far.
      const unsigned char* const kept = KeepingState(q + 1, stop, entry);
      PTSEG_STEPS(kept - q - 1);
      q = kept - 1;
    }
    entry = to;
  }
  HandOver(static_cast<std::size_t>(q - p), entry, first);
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
// look-ahead of kRecordFrom bytes or more passed where an earlier one had
// read already (before reach_), with the state it was in there, is
// remembered with what the look-ahead found from there on (MemoEntry), and
// a later look-ahead that reaches a remembered pair takes that and stops:
// the automaton is deterministic, so from the same state at the same
// position it would read the same bytes to the same end.  SkipCopies' walk
// checks the memo positions it passes inside such a stretch too.
//
// The bound that follows, for any rule set: each byte is read for the
// first time (at or after reach_) once.  Before reach_, a look-ahead that
// records nothing has walked at most kRecordFrom + kMemoStride bytes; one
// that records walks at most kMemoStride bytes before its first check,
// and after it every kMemoStride bytes lead to a pair that no later
// look-ahead walks past again.  With SkipCopies' walk (at most
// kQuickLimit + 4 transitions, never repeated by the step it hands over
// to), a match attempt costs at most 100 transitions of its own, plus two
// per byte for each state look-aheads stand in at one position (at most
// the automaton's state count; a handful on every text we know): one when
// it is read first, one when it is recorded.  A run passed at once
// (PassRun) checks every memo position it passes before reach_, and there
// its search reads at most kRunPiece + kMemoStride bytes past the last
// one, at a sixteenth of a transition each.  Every condition but running
// text lasts one match, so there are at most two attempts per byte: time
// is linear in the input.  Choosing the rule adds nothing: where each head
// ends is noted on the way (NoteHeads), or remembered.
bool Engine::Step() {
  // In lists and dialogue the same few bytes (an enumerator, a dash) start
  // match after match in the same state: a step that read no more than
  // kShortRead bytes is kept, and taken again where the same state stands
  // before the same bytes.
  ShortStep* kept = nullptr;
  ShortStep now;
  if (t_->short_steps && !look_.active && walked_ == 0 && len_ - pos_ >= kShortRead) {
    now.entry = t_->start_entry[2 * condition_ + (at_line_start_ ? 1 : 0)];
    std::memcpy(&now.bytes, buf_.get() + pos_, kShortRead);
    const std::uint64_t hash = (now.bytes ^ now.entry) * 0x9E3779B97F4A7C15u;
    kept = &short_steps_[hash >> 56];
    static_assert(kShortSteps == 256, "the hash takes 8 bits");
    if (kept->entry == now.entry && kept->bytes == now.bytes) {
      Apply(Match{kept->rule, kept->length}, kept->read);
      return true;
    }
  }
  LookAhead look = Begin();
  if (!LookFurther(&look)) {
    look_ = look;  // to go on when more bytes come
    return false;
  }
  look_.active = false;
  const Match match = Decide(look);
  if (kept != nullptr && look.jammed && look.k < kShortRead) {
    static_assert(rules::kRuleCount < 256 && kShortRead < 256, "a short step fits its fields");
    now.rule = static_cast<std::uint8_t>(match.rule);
    now.length = static_cast<std::uint8_t>(match.length);
    now.read = static_cast<std::uint8_t>(look.k + 1);
    *kept = now;
  }
  Apply(match, look.k + 1);
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
  const std::uint8_t* const run_of = t_->run_of.data();
  // In locals while it runs.
  LookAhead l = *look;
  const auto stop_here = [&](bool active) {
    // Field by field: a copy of the whole would read back through memory
    // what was just stored piecewise, and stall.
    look->active = active;
    look->k = l.k;
    look->last = l.last;
    look->at_last = l.at_last;
    look->head = l.head;
    look->first_checked = l.first_checked;
    look->checked = l.checked;
    look->entry = l.entry;
    look->jammed = l.jammed;
    return !active;
  };
  const unsigned char* const text = reinterpret_cast<unsigned char*>(buf_.get()) + pos_;
  const std::size_t avail = len_ - pos_;
  // Memo positions from `fresh` bytes on were never read: nothing is known
  // of them, and nothing is recorded there.
  const std::size_t fresh =
      reach_ > base_ + pos_ ? static_cast<std::size_t>(reach_ - base_ - pos_) : 0;
  bool ran = false;  // whether a run ends at l.k
  for (;;) {
    // A memo position, the look-ahead's own or where SkipCopies handed over.
    if ((pos_ + l.k) % kMemoStride == 0 && l.k > 0 && l.k < fresh) {
      if (Recall(l.k, l.entry, &l.last, &l.at_last, &l.head)) return stop_here(false);
      if (l.first_checked == 0) l.first_checked = l.k;
      l.checked = l.k;
    }
    if (l.k == avail) return stop_here(!at_end_);  // to go on when more bytes come
    if (const int run = run_of[Automaton::State(l.entry)]; run != 0 && !ran) {
      if (PassRun(t_->runs[static_cast<std::size_t>(run - 1)], text, avail, fresh, &l)) {
        return stop_here(false);
      }
      ran = true;
      continue;
    }
    ran = false;
    const std::size_t to_stride = kMemoStride - (pos_ + l.k) % kMemoStride;
    const std::size_t stop = avail - l.k < to_stride ? avail : l.k + to_stride;
    while (l.k < stop) {
      const std::uint32_t to = next[Automaton::Row(l.entry) + byte_class[text[l.k]]];
      PTSEG_STEPS(1);
      if (to == Automaton::kJam) {
        l.jammed = true;
        return stop_here(false);
      }
      const std::uint32_t from = l.entry;
      l.entry = to;
      ++l.k;
      if ((to & (Automaton::kEndsMatch | Automaton::kEndsHead)) != 0) {
        if (to == from && !Automaton::EndsMatch(to)) {
          // Bytes that keep a state where heads end but no match (blanks
          // after a full stop) are passed at once up to the stop.  Of
          // their head ends only the last counts: all lie past the
          // furthest match end.
          const auto kept =
              static_cast<std::size_t>(KeepingState(text + l.k, text + stop, to) - text);
          PTSEG_STEPS(kept - l.k);
          l.k = kept;
        }
        if (Automaton::EndsHead(to)) NoteHeads(Automaton::State(to), l.k, l.last);
        if (Automaton::EndsMatch(to)) {
          l.last = l.k;
          l.at_last = to;
        }
      }
      if (run_of[Automaton::State(to)] != 0) break;
    }
  }
}

// *look stands in a state with a run: passes its bytes up to the next stop
// at once, stopping at each memo position before `fresh` on the way as a
// step would; there it passes no further than kRunPiece bytes and the memo
// position after them, and searches a stride at a time (from stops
// flagged 64 bytes at a time, see CachedStop), since what an earlier
// look-ahead recorded mostly decides this one at the first.
// Returns true when one of those decides the look-ahead.  Runs can be long
// (a list item reads on to the next full stop): the bound keeps a
// look-ahead that an earlier one recorded from reading far past the first
// memo position it meets.  Each byte looked at one by one counts as one
// transition, and each 16 bytes searched as one.
PTSEG_HOT_INLINE bool Engine::PassRun(const ByteRun& run, const unsigned char* text,
                                      std::size_t avail, std::size_t fresh, LookAhead* look) {
  const std::uint8_t* const byte_class = a_.byte_class;
  std::size_t limit = avail;
  if (look->k < fresh) {
    limit = look->k + kRunPiece;
    limit += kMemoStride - (pos_ + limit) % kMemoStride;
    if (limit > avail) limit = avail;
  }
  for (;;) {
    // The next memo position to look at on the way, if any.
    const std::size_t m = look->k + kMemoStride - (pos_ + look->k) % kMemoStride;
    const bool at_memo = m < fresh && m < limit;
    const std::size_t to = at_memo ? m : limit;
    // Unless the next memo position is near, the first bytes are looked at
    // one by one: in dialogue a run often stops after a byte or two (before
    // the points of an ellipsis), and that costs less than to set up a
    // vector search.
    std::size_t end = look->k;
    const std::size_t near = to - end > kMemoStride ? end + kNearStop : end;
    while (end < near && run.after[byte_class[text[end]]] != Automaton::kJam) ++end;
    PTSEG_STEPS(end - look->k);
    if (end == near) {
      [[maybe_unused]] const std::size_t from = end;
      if (to - end <= kMemoStride) {
        end = CachedStop(run, pos_ + end, pos_ + to) - pos_;
      } else {
        end = static_cast<std::size_t>(run.stops.find(text + end, text + to, run.stops) - text);
      }
      PTSEG_STEPS((end - from + 15) / 16);
    }
    if (end > look->k) {
      // The state after a byte of the run is the one that byte leads to.
      look->entry = run.after[byte_class[text[end - 1]]];
      look->k = end;
    }
    if (end < to || !at_memo) return false;  // at a stop, or as far as it goes
    if (Recall(m, look->entry, &look->last, &look->at_last, &look->head)) return true;
    if (look->first_checked == 0) look->first_checked = m;
    look->checked = m;
  }
}

// The first stop of `run` at or after buffer offset `from`, before `to`
// (at most 64 bytes on), or to: from the stops flagged in the 64 bytes of
// an earlier search of the same run where they hold these, for the
// look-aheads that pass the same stretch a stride at a time.
PTSEG_HOT_INLINE std::size_t Engine::CachedStop(const ByteRun& run, std::size_t from,
                                                std::size_t to) {
  const std::uint64_t at = base_ + from;
  if (&run != stop_run_ || at < stop_block_ || base_ + to > stop_block_ + 64) {
    stop_run_ = &run;
    stop_block_ = at;
    stop_bits_ = run.stops.mask(reinterpret_cast<unsigned char*>(buf_.get()) + from, run.stops);
  }
  const std::uint64_t bits = stop_bits_ >> (at - stop_block_);
  if (bits == 0) return to;
  return std::min(to, from + static_cast<std::size_t>(__builtin_ctzll(bits)));
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

// The look-ahead is decided: picks the rule and remembers what it found.
PTSEG_HOT_INLINE Engine::Match Engine::Decide(const LookAhead& look) {
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
  // Only the positions this step itself passed, and only those an earlier
  // look-ahead had read: SkipCopies' walk, which it may have taken over,
  // noted no states, and bytes read for the first time are not read again
  // unless a later look-ahead comes back to them.
  if (look.checked >= kRecordFrom) {
    Remember(look.first_checked, look.checked, look.last, state, head);
  }
  return Match{rule, end};
}

// Runs the action of a match whose step read `read` bytes.
PTSEG_HOT_INLINE void Engine::Apply(const Match& match, std::size_t read) {
  reach_ = std::max<std::uint64_t>(reach_, base_ + pos_ + read);
  assert(match.rule != kCopyByteRule || condition_ == a_.text_condition);
  if (match.rule == kCopyByteRule) {  // the most common action, kept short
    at_line_start_ = buf_[pos_++] == '\n';
  } else {
    Act(match.rule, match.length);
  }
}

// State s, reached after k bytes, ends the heads of some head/trail
// rules; `last` is the furthest match end so far.
PTSEG_HOT_INLINE void Engine::NoteHeads(int s, std::size_t k, std::size_t last) {
  HeadMark& mark = heads_[static_cast<std::size_t>(a_.head_group[static_cast<std::size_t>(s)])];
  if (mark.walk != walk_) {
    mark.walk = walk_;
    mark.before = 0;
  } else if (mark.end <= last) {
    mark.before = mark.end;
  }
  mark.end = k;
}

// The rightmost end of the head of `rule` at or before `last`, among those
// noted in this look-ahead; 0 for none.
std::size_t Engine::HeadEnd(int rule, std::size_t last) const {
  std::size_t rightmost = 0;
  if (rule < 0 || rule > rules::kRuleCount) return 0;
  const Tables::RuleGroups& groups = t_->rule_groups[rule];
  for (int i = 0; i < groups.count; ++i) {
    const HeadMark& mark = heads_[groups.group[i]];
    if (mark.walk != walk_) continue;
    const std::size_t end = mark.end <= last ? mark.end : mark.before;
    if (end > rightmost) rightmost = end;
  }
  return rightmost;
}

// What an earlier look-ahead found from `state` at memo slot `slot`, or null.
const MemoEntry* Engine::Recalled(std::size_t slot, int state) const {
  const std::uint8_t used = memo_used_[slot];
  if (used == 0) return nullptr;
  if (memo_[slot].state == state) return &memo_[slot];
  if ((used & kMoreUsed) == 0) return nullptr;
  const MemoMore& more = memo_more_[slot];
  for (const MemoEntry& entry : more.way) {
    if ((entry.state & ~MemoEntry::kMore) == state) return &entry;
  }
  if ((more.way[MemoMore::kWays - 1].state & MemoEntry::kMore) == 0) return nullptr;
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
    std::uint8_t& used = memo_used_[slot];
    if ((used & kFirstUsed) == 0 || memo_[slot].state == state) {
      memo_[slot] = found;
      used |= kFirstUsed;
      continue;
    }
    MemoMore& more = memo_more_[slot];
    if ((used & kMoreUsed) == 0) {
      more = MemoMore{};
      used |= kMoreUsed;
    }
    MemoEntry* into = nullptr;
    for (MemoEntry& entry : more.way) {
      const std::uint16_t held = entry.state & ~MemoEntry::kMore;
      if (held == state || (held == 0 && into == nullptr)) into = &entry;
      if (held == state) break;
    }
    if (into != nullptr) {
      found.state |= into->state & MemoEntry::kMore;
      *into = found;
    } else {
      more.way[MemoMore::kWays - 1].state |= MemoEntry::kMore;
      overflow_[(base_ / kMemoStride + slot) << 16 | state] = found;
    }
  }
}

// Runs the action of `rule` on the first `length` bytes of the attempt.
void Engine::Act(int rule, std::size_t length) {
  const RuleAction& action = kRuleActions[rule - 1];
  const std::size_t start = pos_;
  const std::size_t kept_end =
      start + (action.head != 0 ? static_cast<std::size_t>(action.head)
                                : length - static_cast<std::size_t>(action.cut));
  if (kept_end > start) at_line_start_ = buf_[kept_end - 1] == '\n';
  switch (action.kind) {
    case RuleAction::kEcho:
      pos_ = kept_end;
      break;
    case RuleAction::kBreak:
      pos_ = kept_end;
      breaks_[break_count_++] = {base_ + kept_end,
                                 StartsParagraph(static_cast<unsigned char>(buf_[start]))};
      if (break_count_ == kBreakBatch) Deliver(kept_end);
      break;
    case RuleAction::kRescan:
      break;
  }
  if (action.next != RuleAction::kSameCondition) condition_ = action.next;
}

// Hands the bytes up to `end` to the listener, with the starts among them:
// once only, even when the listener throws.
void Engine::Deliver(std::size_t end) {
  if (end == delivered_ && break_count_ == 0) return;
  const std::size_t from = delivered_;
  const std::size_t count = break_count_;
  delivered_ = end;
  break_count_ = 0;
  listener_->Decided(buf_.get() + from, end - from, breaks_, count);
}

// Grows the buffer and the arrays kept per byte so that `needed` bytes
// leave room for one more.
void Engine::Reserve(std::size_t needed) {
  const std::size_t size = cap_ == 0 ? needed : GrownSize(cap_, needed);
  if (size == 0) throw engine::EngineError(kLookaheadMessage);
  buf_.Grow(size + kSlack);
  const std::size_t slots = size / kMemoStride + 2;
  memo_.Grow(slots);
  memo_more_.Grow(slots);
  memo_used_.Grow(slots);
  seen_.Grow(slots);
  if (cap_ == 0) memo_used_[0] = 0;
  cap_ = size;
}

}  // namespace ptseg
