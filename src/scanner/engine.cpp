#include "scanner/engine.h"

#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

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

// Look-aheads shorter than this are never remembered: they cost little to
// repeat, and skipping the bookkeeping keeps ordinary text fast.
constexpr std::size_t kMemoFrom = 32;
constexpr std::size_t kMemoStride = 16;

class Engine {
 public:
  Engine(const Automaton& automaton, std::FILE* in, std::FILE* out);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  void Run();

 private:
  void Step();
  void Act(const RuleAction& action, std::size_t length);
  bool Fill();
  void Reserve(std::size_t needed);
  void Emit(std::size_t end, const char* markup);
  void Write(const char* data, std::size_t size);
  [[noreturn]] static void WriteFailed();

  const Automaton& a_;
  std::FILE* in_;
  std::FILE* out_;
  bool interactive_;
  bool at_end_ = false;

  // Input bytes [0, len_) of capacity cap_; the current match attempt
  // starts at pos_, and bytes before written_ have been written out.
  char* buf_ = nullptr;
  std::size_t cap_ = 0;
  std::size_t len_ = 0;
  std::size_t pos_ = 0;
  std::size_t written_ = 0;
  // states_[i]: the row of the state after the first i bytes of the
  // current attempt.
  std::uint32_t* states_ = nullptr;
  // failed_[q]: the row of a state from which an earlier look-ahead,
  // standing at position q, went on to no position where a match could end.
  std::uint32_t* failed_ = nullptr;

  int condition_;
  bool at_line_start_ = true;
  // Bytes at which, in running text away from a line start, only the
  // copy-one-byte rule can match.
  bool plain_byte_[256];
};

Engine::Engine(const Automaton& automaton, std::FILE* in, std::FILE* out)
    : a_(automaton),
      in_(in),
      out_(out),
      interactive_(IsInteractive(in)),
      condition_(automaton.text_condition) {
  Reserve(kStartBufferSize);
  buf_[0] = '\n';
  const std::uint32_t start = a_.StartRow(a_.text_condition, false);
  for (int b = 0; b < 256; ++b) {
    const std::uint32_t to = a_.next[start + a_.byte_class[b]] & Automaton::kRowBits;
    bool plain = b != '\n' && to != Automaton::kJam;
    for (int c = 1; plain && c < a_.class_count; ++c) {
      plain = a_.next[to + static_cast<std::uint32_t>(c)] == Automaton::kJam;
    }
    // The first entry that ends a match must be the copy-one-byte rule.
    plain = plain && a_.acclist[static_cast<std::size_t>(
                         a_.first_match[static_cast<std::size_t>(a_.StateOf(to))])] ==
                         kCopyByteRule;
    plain_byte_[b] = plain;
  }
}

Engine::~Engine() {
  std::free(buf_);
  std::free(states_);
  std::free(failed_);
}

void Engine::Run() {
  Write(kOpen, sizeof kOpen - 1);
  for (;;) {
    if (condition_ == a_.text_condition && !at_line_start_) {
      // The byte after the data is never plain, so no bounds check is needed.
      const unsigned char* p = reinterpret_cast<unsigned char*>(buf_) + pos_;
      while (plain_byte_[*p]) ++p;
      pos_ = static_cast<std::size_t>(p - reinterpret_cast<unsigned char*>(buf_));
    }
    if (pos_ == len_ && !Fill()) break;
    Step();
  }
  Emit(pos_, kClose);
}

// One match step: look ahead as far as any rule of the condition could
// still match, back up to the longest match, run its action.
void Engine::Step() {
  const std::uint32_t* const next = a_.next.data();
  const std::uint8_t* const byte_class = a_.byte_class;
  std::size_t k = 0;     // bytes looked at
  std::size_t last = 0;  // furthest of them at which a match can end
  std::uint32_t row = a_.StartRow(condition_, at_line_start_);
  states_[0] = row;
  const unsigned char* text = reinterpret_cast<unsigned char*>(buf_) + pos_;
  std::uint32_t* states = states_;
  for (std::size_t avail = len_ - pos_;;) {
    // Remembered failures are looked up only every kMemoStride bytes: a
    // path that joins a failed one stays on it, so it is caught a little
    // later at the latest.
    const std::size_t stop = avail - k < kMemoStride ? avail : k + kMemoStride;
    while (k < stop) {
      const std::uint32_t to = next[row + byte_class[text[k]]];
      if (to == Automaton::kJam) goto looked_ahead;
      row = to & Automaton::kRowBits;
      states[++k] = row;
      if (to & Automaton::kEndsMatch) last = k;
    }
    if (k == avail) {
      if (!Fill()) break;
      avail = len_ - pos_;
      text = reinterpret_cast<unsigned char*>(buf_) + pos_;
      states = states_;
    } else if (k > kMemoFrom && failed_[pos_ + k] == row) {
      break;
    }
  }
looked_ahead:
  if (last == 0) Fatal("fatal flex scanner internal error--no action found");

  // Nothing after `last` could end a match: remember those (state,
  // position) pairs so that no later look-ahead walks on from them.
  for (std::size_t i = k; i > last && i > kMemoFrom; --i) {
    failed_[pos_ + i] = states_[i];
  }

  // Backing up, the first entry met that ends a match decides.  A plain
  // entry is the match; a whole-match entry of a head/trail rule sends the
  // search on, towards the start, for the rightmost end of that rule's head.
  int lp = a_.first_match[static_cast<std::size_t>(a_.StateOf(states_[last]))];
  int rule = a_.acclist[static_cast<std::size_t>(lp)];
  if (rule == kCopyByteRule) {  // the common case, kept short
    assert(condition_ == a_.text_condition);
    at_line_start_ = buf_[pos_] == '\n';
    ++pos_;
    return;
  }
  std::size_t end = last;
  if (rule & a_.trailing_mask) {
    const int head = (rule & ~a_.trailing_mask) | a_.trailing_head_mask;
    rule = 0;
    for (++lp; end > 0; lp = a_.accept[static_cast<std::size_t>(a_.StateOf(states_[--end]))]) {
      const int stop = a_.accept[static_cast<std::size_t>(a_.StateOf(states_[end])) + 1];
      while (lp < stop && a_.acclist[static_cast<std::size_t>(lp)] != head) ++lp;
      if (lp < stop) {
        rule = head & ~a_.trailing_head_mask;
        break;
      }
    }
  }
  if (rule < 1 || rule > kRuleCount) {
    Fatal("fatal flex scanner internal error--no action found");
  }
  Act(kRuleActions[rule - 1], end);
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
  Emit(pos_, "");
  if (pos_ > 0) {
    const std::size_t kept = len_ - pos_;
    std::memmove(buf_, buf_ + pos_, kept);
    std::memmove(failed_, failed_ + pos_, (kept + 1) * sizeof *failed_);
    len_ = kept;
    written_ = 0;
    pos_ = 0;
  }
  // Like flex, keep one byte of the buffer free (here for a stop byte after
  // the data); grow rather than fail.
  if (len_ + 1 >= cap_) Reserve(len_ + 1);
  std::size_t room = cap_ - len_ - 1;
  if (room > kReadSize) room = kReadSize;
  // A typed line gets its answer before the program waits for the next.
  if (interactive_ && std::fflush(out_) != 0) WriteFailed();
  const std::size_t n = ReadInput(in_, interactive_, buf_ + len_, room);
  std::memset(failed_ + len_ + 1, 0, n * sizeof *failed_);
  len_ += n;
  buf_[len_] = '\n';  // stops the copying of plain bytes in Run
  at_end_ = n == 0;
  return !at_end_;
}

// Grows the buffer and the arrays kept per byte so that `needed` bytes
// leave room for one more.
void Engine::Reserve(std::size_t needed) {
  const std::size_t size = cap_ == 0 ? needed : GrownSize(cap_, needed);
  buf_ = static_cast<char*>(Grow(buf_, size));
  states_ = static_cast<std::uint32_t*>(Grow(states_, (size + 2) * sizeof *states_));
  failed_ = static_cast<std::uint32_t*>(Grow(failed_, (size + 2) * sizeof *failed_));
  if (cap_ == 0) std::memset(failed_, 0, (size + 2) * sizeof *failed_);
  cap_ = size;
}

// Writes the input up to `end`, then `markup`.
void Engine::Emit(std::size_t end, const char* markup) {
  Write(buf_ + written_, end - written_);
  written_ = end;
  Write(markup, std::strlen(markup));
}

void Engine::Write(const char* data, std::size_t size) {
  if (size != 0 && std::fwrite(data, 1, size, out_) != size) WriteFailed();
}

void Engine::WriteFailed() {
  std::string message = "ptseg: error writing standard output: ";
  message += std::strerror(errno);
  Fatal(message.c_str());
}

}  // namespace

void Segment(std::FILE* in, std::FILE* out) {
  Engine engine(RuleAutomaton(), in, out);
  engine.Run();
}

}  // namespace ptseg
