#include "scanner/engine.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "scanner/automaton.h"
#include "scanner/input.h"
#include "scanner/markup.h"

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

// Failed look-aheads are remembered at every kMemoStride-th position of the
// buffer, and only from kMemoFrom bytes into a look-ahead on: short ones
// cost little to repeat.
constexpr std::size_t kMemoStride = 8;
constexpr std::size_t kMemoFrom = 8;
// A copy of one byte is recognised without the full match step when the
// look-ahead from it dies within this many bytes.
constexpr std::size_t kQuickLimit = 16;
constexpr std::size_t kOutputSize = 1 << 16;
// Bytes kept readable after the stop byte, for scans 16 bytes at a time.
constexpr std::size_t kSlack = 16;

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
  const __m128i low = _mm_cmplt_epi8(_mm_xor_si128(bytes, bias),
                                     _mm_set1_epi8(static_cast<char>(0x5C ^ 0x80)));
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

// flex numbers the start conditions from 0; the rule file declares six.
constexpr int kMaxConditions = 8;

constexpr bool ConditionsFit() {
  for (const RuleAction& action : kRuleActions) {
    if (action.next >= kMaxConditions) return false;
  }
  return true;
}
static_assert(ConditionsFit(), "more start conditions than kMaxConditions");

class Engine {
 public:
  Engine(const Automaton& automaton, std::FILE* in, std::FILE* out);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  void Run();

 private:
  void SkipCopies();
  void Step();
  int ChooseRule(std::size_t last, std::uint32_t at_last, std::size_t* end) const;
  bool HasEntry(int s, int from, int entry) const;
  void Remember(std::size_t last, std::size_t k);
  void Act(const RuleAction& action, std::size_t length);
  bool Fill();
  void Reserve(std::size_t needed);
  void Emit(std::size_t end, const char* markup);
  void Put(const char* data, std::size_t size);
  void Flush();

  const Automaton& a_;
  std::FILE* in_;
  std::FILE* out_;
  const bool interactive_;
  bool at_end_ = false;

  // Input bytes [0, len_) of capacity cap_, followed by a stop byte; the
  // current match attempt starts at pos_, and bytes before written_ have
  // been written out.
  char* buf_ = nullptr;
  std::size_t cap_ = 0;
  std::size_t len_ = 0;
  std::size_t pos_ = 0;
  std::size_t written_ = 0;
  // Kept for every kMemoStride-th position q, at slot q / kMemoStride (the
  // buffer only ever drops whole strides, so the slots stay put):
  // failed_: a state from which an earlier look-ahead, standing at q, went
  // on to no position where a match could end; 0 for none.
  std::uint16_t* failed_ = nullptr;
  // seen_: the state the current look-ahead was in at q.
  std::uint16_t* seen_ = nullptr;

  int condition_;
  bool at_line_start_ = true;

  // The entry into each start state, by condition and line-start flag.
  std::uint32_t start_entry_[2 * kMaxConditions];
  // In running text, for each value of the line-start flag: the bytes
  // whose first step reaches a state where the copy of one byte is the
  // match, unless the look-ahead finds a longer one.
  bool copy_first_[2][256];
  // Away from a line start: the bytes at which nothing but the copy of one
  // byte can match at all.
  bool plain_byte_[256];
  // Whether every byte that MaybeSpecial passes over is plain.
  bool scan_by_16_ = kScanBy16;

  char output_[kOutputSize];
  std::size_t output_len_ = 0;
};

Engine::Engine(const Automaton& automaton, std::FILE* in, std::FILE* out)
    : a_(automaton),
      in_(in),
      out_(out),
      interactive_(IsInteractive(in)),
      condition_(automaton.text_condition) {
  Reserve(kStartBufferSize);
  buf_[0] = '\n';
  std::memset(buf_ + 1, 0, kSlack);
  for (int c = 0; c < kMaxConditions; ++c) {
    for (int bol = 0; bol < 2; ++bol) {
      start_entry_[2 * c + bol] = a_.EntryOf(Automaton::StartState(c, bol != 0));
    }
  }
  for (int bol = 0; bol < 2; ++bol) {
    const std::uint32_t start = Automaton::Row(start_entry_[2 * a_.text_condition + bol]);
    for (int b = 0; b < 256; ++b) {
      const std::uint32_t to = a_.next[start + a_.byte_class[b]];
      const int first = a_.first_match[Automaton::State(to)];
      const bool copy = to != Automaton::kJam &&
                        a_.acclist[static_cast<std::size_t>(first)] == kCopyByteRule;
      bool dead_end = true;
      for (int c = 1; copy && dead_end && c < a_.class_count; ++c) {
        dead_end = a_.next[Automaton::Row(to) + static_cast<std::uint32_t>(c)] ==
                   Automaton::kJam;
      }
      copy_first_[bol][b] = copy;
      // A line feed changes the line-start flag, so it is never skipped.
      if (bol == 0) plain_byte_[b] = copy && dead_end && b != '\n';
    }
  }
  for (int b = 0; b < 256; ++b) {
    if (!plain_byte_[b] && !MaybeSpecial(b)) scan_by_16_ = false;
  }
}

Engine::~Engine() {
  std::free(buf_);
  std::free(failed_);
  std::free(seen_);
}

void Engine::Run() {
  Put(kOpen, sizeof kOpen - 1);
  for (;;) {
    if (condition_ == a_.text_condition) SkipCopies();
    if (pos_ == len_ && !Fill()) break;
    Step();
  }
  Emit(pos_, kClose);
  Flush();
}

// In running text most bytes are copied one at a time by the catch-all
// rule.  Moves pos_ past such bytes, up to the first where a full match
// step is needed.
void Engine::SkipCopies() {
  const unsigned char* const text = reinterpret_cast<unsigned char*>(buf_);
  const unsigned char* const end = text + len_;
  const std::uint32_t* const next = a_.next.data();
  const std::uint8_t* const byte_class = a_.byte_class;
  const std::uint32_t start[2] = {
      Automaton::Row(start_entry_[2 * a_.text_condition]),
      Automaton::Row(start_entry_[2 * a_.text_condition + 1])};
  const unsigned char* p = text + pos_;
  bool bol = at_line_start_;
  for (;; ++p) {
    // The stop byte after the data is never plain.
    if (!bol && scan_by_16_) {
      for (;;) {
        const unsigned candidates = MaybeSpecial(p);
        if (candidates == 0) {
          p += 16;
          continue;
        }
        p += __builtin_ctz(candidates);
        if (!plain_byte_[*p]) break;
        ++p;
      }
    } else if (!bol) {
      while (plain_byte_[*p]) ++p;
    }
    if (p == end || !copy_first_[bol][*p]) break;
    // The copy stands unless the look-ahead reaches another match.  Most
    // look-aheads die within four bytes; those are followed without a
    // branch (the jam entry leads to the row of state 0, all jams).
    const std::uint32_t first = next[start[bol] + byte_class[*p]];
    if (end - p > 3) {
      const std::uint32_t second = next[Automaton::Row(first) + byte_class[p[1]]];
      const std::uint32_t third = next[Automaton::Row(second) + byte_class[p[2]]];
      const std::uint32_t fourth = next[Automaton::Row(third) + byte_class[p[3]]];
      if (fourth == Automaton::kJam && !Automaton::EndsMatch(second | third)) {
        bol = *p == '\n';
        continue;
      }
    }
    const unsigned char* q = p + 1;
    std::uint32_t row = Automaton::Row(first);
    for (;; ++q) {
      if (q == end || q - p > static_cast<std::ptrdiff_t>(kQuickLimit)) goto done;
      const std::uint32_t to = next[row + byte_class[*q]];
      if (to == Automaton::kJam) break;
      if (Automaton::EndsMatch(to)) goto done;
      row = Automaton::Row(to);
    }
    bol = *p == '\n';
  }
done:
  pos_ = static_cast<std::size_t>(p - text);
  at_line_start_ = bol;
}

// One match step: look ahead as far as any rule of the condition could
// still match, back up to the longest match, run its action.
void Engine::Step() {
  const std::uint32_t* const next = a_.next.data();
  const std::uint8_t* const byte_class = a_.byte_class;
  std::size_t k = 0;         // bytes looked at
  std::size_t last = 0;      // furthest of them at which a match can end
  std::uint32_t at_last = 0; // the entry into the state there
  std::uint32_t entry = start_entry_[2 * condition_ + (at_line_start_ ? 1 : 0)];
  const unsigned char* text = reinterpret_cast<unsigned char*>(buf_) + pos_;
  for (std::size_t avail = len_ - pos_;;) {
    const std::size_t to_stride = kMemoStride - (pos_ + k) % kMemoStride;
    const std::size_t stop = avail - k < to_stride ? avail : k + to_stride;
    while (k < stop) {
      const std::uint32_t to = next[Automaton::Row(entry) + byte_class[text[k]]];
      if (to == Automaton::kJam) goto looked_ahead;
      entry = to;
      ++k;
      if (Automaton::EndsMatch(to)) {
        last = k;
        at_last = to;
      }
    }
    if ((pos_ + k) % kMemoStride == 0) {
      // A path that joins one that failed before stays on it: stop here.
      const std::size_t slot = (pos_ + k) / kMemoStride;
      if (k > kMemoFrom && failed_[slot] == Automaton::State(entry)) break;
      seen_[slot] = Automaton::State(entry);
    }
    if (k == avail) {
      if (!Fill()) break;
      avail = len_ - pos_;
      text = reinterpret_cast<unsigned char*>(buf_) + pos_;
    }
  }
looked_ahead:
  if (k > kMemoFrom) Remember(last, k);
  if (last == 0) Fatal("fatal flex scanner internal error--no action found");
  std::size_t end = last;
  const int rule = ChooseRule(last, at_last, &end);
  assert(rule != kCopyByteRule || condition_ == a_.text_condition);
  if (rule == kCopyByteRule) {  // the most common action, kept short
    at_line_start_ = buf_[pos_++] == '\n';
    return;
  }
  Act(kRuleActions[rule - 1], end);
}

// Backing up from the furthest position, the first entry met that ends a
// match decides: the first such entry of the state reached after `last`
// bytes.  A plain entry is the match.  A whole-match entry of a head/trail
// rule sends the search on, towards the start, for the rightmost end of
// that rule's head; *end is set to it.
int Engine::ChooseRule(std::size_t last, std::uint32_t at_last,
                       std::size_t* end) const {
  const int state = Automaton::State(at_last);
  const int lp = a_.first_match[static_cast<std::size_t>(state)];
  const int rule = a_.acclist[static_cast<std::size_t>(lp)];
  if ((rule & a_.trailing_mask) == 0) return rule;
  const int head = (rule & ~a_.trailing_mask) | a_.trailing_head_mask;
  const int found = head & ~a_.trailing_head_mask;
  if (HasEntry(state, lp + 1, head)) return found;
  // The states before `last` were not kept: walk the same path again.
  const std::uint32_t* const next = a_.next.data();
  const unsigned char* const text = reinterpret_cast<unsigned char*>(buf_) + pos_;
  std::uint32_t entry = start_entry_[2 * condition_ + (at_line_start_ ? 1 : 0)];
  std::size_t rightmost = 0;
  for (std::size_t i = 1; i < last; ++i) {
    entry = next[Automaton::Row(entry) + a_.byte_class[text[i - 1]]];
    const int s = Automaton::State(entry);
    if (HasEntry(s, a_.accept[static_cast<std::size_t>(s)], head)) rightmost = i;
  }
  if (rightmost == 0) Fatal("fatal flex scanner internal error--no action found");
  *end = rightmost;
  return found;
}

// Whether state s lists `entry` at acclist position `from` or later.
bool Engine::HasEntry(int s, int from, int entry) const {
  for (int lp = from; lp < a_.accept[static_cast<std::size_t>(s) + 1]; ++lp) {
    if (a_.acclist[static_cast<std::size_t>(lp)] == entry) return true;
  }
  return false;
}

// No position after `last` of the look-ahead of k bytes could end a match:
// remember those (state, position) pairs so that no later look-ahead walks
// on from them.  This keeps the scan linear where many attempts in a row
// would look far ahead over the same text.
void Engine::Remember(std::size_t last, std::size_t k) {
  const std::size_t from = pos_ + (last > kMemoFrom ? last : kMemoFrom) + 1;
  for (std::size_t slot = (from + kMemoStride - 1) / kMemoStride;
       slot * kMemoStride <= pos_ + k; ++slot) {
    failed_[slot] = seen_[slot];
  }
}

// Runs a rule's action on the first `length` bytes of the current attempt.
void Engine::Act(const RuleAction& action, std::size_t length) {
  const std::size_t start = pos_;
  const std::size_t kept_end = start + length - static_cast<std::size_t>(action.cut);
  if (kept_end > start) at_line_start_ = buf_[kept_end - 1] == '\n';
  switch (action.kind) {
    case RuleAction::kEcho:
      pos_ = kept_end;
      break;
    case RuleAction::kBreak:
      pos_ = kept_end;
      Emit(kept_end, BreakMarkup(static_cast<unsigned char>(buf_[start])));
      break;
    case RuleAction::kRescan:
      break;
  }
  if (action.next != RuleAction::kSameCondition) condition_ = action.next;
}

// Makes the byte at len_ available, reading more input; false at the end
// of input.  Bytes before the current attempt are written out and dropped.
bool Engine::Fill() {
  if (at_end_) return false;
  // Everything before the current attempt goes out to the stream first, so
  // that a fatal error while reading keeps all output produced so far.
  Emit(pos_, "");
  Flush();
  const std::size_t drop = pos_ - pos_ % kMemoStride;
  if (drop > 0) {
    const std::size_t kept = len_ - drop;
    std::memmove(buf_, buf_ + drop, kept);
    const std::size_t slots = kept / kMemoStride + 1;
    std::memmove(failed_, failed_ + drop / kMemoStride, slots * sizeof *failed_);
    std::memmove(seen_, seen_ + drop / kMemoStride, slots * sizeof *seen_);
    len_ = kept;
    pos_ -= drop;
    written_ -= drop;
  }
  if (len_ - pos_ >= kMaxLookahead) {
    Fatal("input buffer overflow: one look-ahead exceeds 256 MiB");
  }
  // Like flex, keep one byte free (here for the stop byte); grow where flex
  // would give up.
  if (len_ + 1 >= cap_) Reserve(len_ + 1);
  std::size_t room = cap_ - len_ - 1;
  if (room > kReadSize) room = kReadSize;
  // A typed line gets its answer before the program waits for the next.
  if (interactive_ && std::fflush(out_) != 0) WriteFailed();
  const std::size_t n = ReadInput(in_, interactive_, buf_ + len_, room);
  // Nothing is known yet of the positions after the new bytes.
  for (std::size_t j = len_ / kMemoStride + 1; j <= (len_ + n) / kMemoStride; ++j) {
    failed_[j] = 0;
  }
  len_ += n;
  buf_[len_] = '\n';  // the stop byte
  std::memset(buf_ + len_ + 1, 0, kSlack);
  at_end_ = n == 0;
  return !at_end_;
}

// Grows the buffer and the arrays kept per byte so that `needed` bytes
// leave room for one more.
void Engine::Reserve(std::size_t needed) {
  const std::size_t size = cap_ == 0 ? needed : GrownSize(cap_, needed);
  buf_ = static_cast<char*>(Grow(buf_, size + kSlack));
  const std::size_t slots = size / kMemoStride + 2;
  failed_ = static_cast<std::uint16_t*>(Grow(failed_, slots * sizeof *failed_));
  seen_ = static_cast<std::uint16_t*>(Grow(seen_, slots * sizeof *seen_));
  if (cap_ == 0) failed_[0] = 0;
  cap_ = size;
}

// Writes the input up to `end`, then `markup`.
void Engine::Emit(std::size_t end, const char* markup) {
  Put(buf_ + written_, end - written_);
  written_ = end;
  Put(markup, std::strlen(markup));
}

void Engine::Put(const char* data, std::size_t size) {
  if (size > kOutputSize - output_len_) {
    Flush();
    if (size >= kOutputSize) {
      if (std::fwrite(data, 1, size, out_) != size) WriteFailed();
      return;
    }
  }
  std::memcpy(output_ + output_len_, data, size);
  output_len_ += size;
}

void Engine::Flush() {
  if (output_len_ != 0 && std::fwrite(output_, 1, output_len_, out_) != output_len_) {
    WriteFailed();
  }
  output_len_ = 0;
}

}  // namespace

void Segment(std::FILE* in, std::FILE* out) {
  Engine engine(RuleAutomaton(), in, out);
  engine.Run();
}

}  // namespace ptseg
