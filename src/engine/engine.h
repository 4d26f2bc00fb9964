// The table-driven engine: runs the rule set's automaton over a stream fed
// in pieces, with flex's matching semantics (longest match, lower rule
// number on ties, rightmost head for head/trail rules), in time linear in
// the stream, and hands the stream back cut where sentences start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "engine/automaton.h"
#include "engine/engine_error.h"
#include "engine/search.h"

namespace ptseg {

// The buffer starts at this size and grows (doubling) only while one match
// attempt needs more look-ahead than it holds.
inline constexpr std::size_t kStartBufferSize = 16384;
// Space() never offers room for more than this many bytes, so one Commit
// takes at most this many.
inline constexpr std::size_t kMaxCommit = 8192;
// Longest look-ahead a single match attempt may need: past it the engine
// gives up instead of exhausting memory.
inline constexpr std::size_t kMaxLookahead = std::size_t{256} << 20;
using engine::kLookaheadMessage;

// The size a buffer of `size` bytes must grow to (doubling) so that
// `needed` bytes leave room for one more; 0 past kMaxLookahead.
std::size_t GrownSize(std::size_t size, std::size_t needed);

// A sentence start: stream offset `offset` (bytes committed before it,
// counted from the start of the stream), opening a paragraph too when
// `paragraph`.
struct EngineBreak {
  std::uint64_t offset;
  bool paragraph;
};

// Receives the stream back from the engine, in order.
class EngineListener {
 public:
  virtual ~EngineListener() = default;
  // The next `size` bytes of the stream, decided, and the sentence starts
  // that fall after the text before them and no later than their end, in
  // order; all valid during the call.
  virtual void Decided(const char* data, std::size_t size, const EngineBreak* breaks,
                       std::size_t count) = 0;
};

// A block of trivially copyable T that grows keeping its contents, freed
// with it.
template <class T>
class GrowableArray {
  static_assert(std::is_trivially_copyable_v<T>, "moved with realloc");

 public:
  T* get() const { return data_.get(); }
  T& operator[](std::size_t i) const { return data_.get()[i]; }
  // Makes room for n elements, the first ones kept; throws std::bad_alloc,
  // leaving the block as it was.
  void Grow(std::size_t n) {
    void* grown = std::realloc(data_.get(), n * sizeof(T));
    if (grown == nullptr) throw std::bad_alloc();
    (void)data_.release();  // realloc has freed or kept it
    data_.reset(static_cast<T*>(grown));
  }

 private:
  struct Free {
    void operator()(T* block) const { std::free(block); }
  };
  std::unique_ptr<T, Free> data_;
};

// What a look-ahead found from one (state, position) pair on: the
// automaton is deterministic, so any later look-ahead that stands in the
// same state at the same position would find the same.
struct MemoEntry {
  // The state, or 0 for an empty entry; kMore, on the last of a position's
  // further entries (MemoMore), flags that more wait in the overflow table.
  std::uint16_t state;
  std::uint16_t far_state;  // the state at far
  // Offsets from the position: the furthest end of a match after it (0:
  // none), and, when that match is the whole of a head/trail rule, where
  // its head ends, if after the position (0: at or before it).
  std::uint32_t far;
  std::uint32_t head;
  static constexpr std::uint16_t kMore = 0x8000;
};

// The entries of one memo position after its first: look-aheads of
// different rules pass the same stretch in different states, a dialogue
// turn's in up to three.  Kept apart from the first entries: most
// positions are passed in one state, and their records then take a third
// of the memory (and of the pages to fault in) that room for three would.
struct MemoMore {
  static constexpr int kWays = 2;
  MemoEntry way[kWays];
};

class Engine {
 public:
  // Runs the rule file's automaton over a stream whose first byte starts a
  // line, or, for a stream taken up in the middle of a text, as the byte
  // before it says.
  explicit Engine(EngineListener* listener, bool at_line_start = true);
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Starts over on a new stream, as a new Engine would, keeping the
  // memory it holds (one grown for a long look-ahead is given back).
  void Restart(bool at_line_start);

  // Where the next bytes of the stream are to be written; *room is set to
  // how many may be (at least 1, at most kMaxCommit).  Throws
  // engine::EngineError when one look-ahead would pass kMaxLookahead,
  // std::bad_alloc without memory.
  char* Space(std::size_t* room);
  // `size` bytes were written at Space(): matches as far as they decide,
  // and hands the decided text to the listener.  Throws engine::EngineError
  // if no rule matches (the rule set's catch-all rule rules that out).
  void Commit(std::size_t size);
  // The stream ends: decides the rest and hands it over.
  void Finish();

  // Whether the scan has matched every byte committed and stands in
  // running text, with nothing looked at ahead, at the start of the next
  // match: -1 if not, else the line-start flag there (0 or 1).  Two scans
  // of the same text that stand so at the same point with the same flag
  // go on alike, whatever came before: so a text cut into pieces scanned
  // apart can be joined where the scans meet.
  int Resting() const {
    if (look_.active || walked_ != 0 || pos_ != len_ || condition_ != a_.text_condition) return -1;
    return at_line_start_ ? 1 : 0;
  }

#ifdef PTSEG_COUNT_STEPS
  // Automaton transitions taken so far, all walks included.
  std::uint64_t steps() const { return steps_; }
#endif

 private:
  // A look-ahead in progress: Step stops when the bytes run out before it
  // is decided, and goes on from here when more come.
  struct LookAhead {
    bool active = false;
    std::size_t k = 0;              // bytes looked at
    std::size_t last = 0;           // furthest of them at which a match can end
    std::uint32_t at_last = 0;      // the entry into the state there
    std::size_t head = 0;           // where that match's head ends, if remembered
    std::size_t first_checked = 0;  // the first memo position it passed, or 0
    std::size_t checked = 0;        // the last one, or 0
    std::uint32_t entry = 0;        // the entry into the state after k bytes
    bool jammed = false;            // whether the byte after k leads nowhere
  };

  // A match step from a start state that read only the next kShortRead
  // bytes or fewer: the same state before the same bytes leads to the same
  // match, so it is taken again at once (see Step).
  static constexpr std::size_t kShortRead = 8;
  struct ShortStep {
    std::uint64_t bytes = 0;  // the next kShortRead bytes
    std::uint32_t entry = 0;  // the start state's entry; 0 for none
    std::uint8_t rule = 0;    // the rule that matched
    std::uint8_t length = 0;  // the bytes its action keeps
    std::uint8_t read = 0;    // the bytes the step read
  };
  static constexpr std::size_t kShortSteps = 256;
  // The rule and the length of a decided match.
  struct Match {
    int rule;
    std::size_t length;
  };

  // A run of bytes that a look-ahead passes at once: the entry each byte
  // class leads to (kJam for the stops), and a search for the stops.
  struct ByteRun {
    const std::uint32_t* after;
    search::ByteSet stops;
  };

  void Run();
  void SkipCopies();
  std::size_t NextTrigger(std::size_t at);
  const unsigned char* FirstStart(const unsigned char* p, const unsigned char* trigger) const;
  const unsigned char* SkipPlain(const unsigned char* p) const;
  bool CopyStands(const unsigned char* p, const unsigned char* end, std::uint32_t start_row);
  void WalkFrom(const std::uint32_t* passed, int count);
  void HandOver(std::size_t walked, std::uint32_t entry, std::uint32_t first);
  const unsigned char* KeepingState(const unsigned char* p, const unsigned char* stop,
                                    std::uint32_t entry) const;
  bool WalkCopy(const unsigned char* p, const unsigned char* end, std::uint32_t first,
                const unsigned char* q, std::uint32_t entry, const std::uint32_t* passed,
                int passed_count);
  bool Step();
  LookAhead Begin();
  bool LookFurther(LookAhead* look);
  bool PassRun(const ByteRun& run, const unsigned char* text, std::size_t avail, std::size_t fresh,
               LookAhead* look);
  std::size_t CachedStop(const ByteRun& run, std::size_t from, std::size_t to);
  bool Recall(std::size_t k, std::uint32_t entry, std::size_t* last, std::uint32_t* at_last,
              std::size_t* head);
  Match Decide(const LookAhead& look);
  void Apply(const Match& match, std::size_t read);
  void NoteHeads(int state, std::size_t k, std::size_t last);
  std::size_t HeadEnd(int rule, std::size_t last) const;
  const MemoEntry* Recalled(std::size_t slot, int state) const;
  void Remember(std::size_t from, std::size_t to, std::size_t last, int last_state,
                std::size_t head);
  void Act(int rule, std::size_t length);
  void Deliver(std::size_t end);
  void Drop();
  void Reserve(std::size_t needed);

  const Automaton& a_;
  EngineListener* listener_;
  bool at_end_ = false;
  // Sentence starts found in the bytes not yet delivered; handed over
  // with them, in batches of at most kBreakBatch.
  static constexpr std::size_t kBreakBatch = 256;
  EngineBreak breaks_[kBreakBatch];
  std::size_t break_count_ = 0;

  // Stream bytes [0, len_) of capacity cap_, followed by a stop byte; the
  // current match attempt starts at pos_, and bytes before delivered_ have
  // gone to the listener.  buf_[0] is byte base_ of the stream.
  GrowableArray<char> buf_;
  std::size_t cap_ = 0;
  std::size_t len_ = 0;
  std::size_t pos_ = 0;
  std::size_t delivered_ = 0;
  std::uint64_t base_ = 0;
  // Kept for every kMemoStride-th position q, at slot q / kMemoStride (the
  // buffer only ever drops whole strides, so the slots stay put): what
  // earlier look-aheads found from there (see MemoEntry), the first entry
  // in memo_ and further ones in memo_more_.  memo_used_ tells which of
  // the two hold entries (kFirstUsed, kMoreUsed): a slot is cleared when a
  // look-ahead first records there, rather than for every stride of the
  // text.
  GrowableArray<MemoEntry> memo_;
  GrowableArray<MemoMore> memo_more_;
  GrowableArray<std::uint8_t> memo_used_;
  static constexpr std::uint8_t kFirstUsed = 1;
  static constexpr std::uint8_t kMoreUsed = 2;
  // seen_: the state the current look-ahead was in at q.
  GrowableArray<std::uint16_t> seen_;
  // Entries for positions where look-aheads stood in more states than
  // memo_ and memo_more_ hold, by (stream slot, state); rare, and pruned
  // as the buffer moves on.
  std::unordered_map<std::uint64_t, MemoEntry> overflow_;
  std::size_t prune_at_ = 0;

  LookAhead look_;
  // Where a state of each head group was last reached in the current
  // look-ahead (walk_): end, and, as it stood when the look-ahead last
  // passed the end of a match, before; valid while walk is walk_.
  struct HeadMark {
    std::uint64_t walk = 0;
    std::size_t end = 0;
    std::size_t before = 0;
  };
  std::uint64_t walk_ = 0;
  std::vector<HeadMark> heads_;

  int condition_;
  bool at_line_start_ = true;

  struct Tables;
  const Tables* t_;

  // The stream offset just past the furthest byte that a decided
  // look-ahead of Step read: memo entries stand only before it, and a
  // look-ahead reads the bytes from it on for the first time.
  std::uint64_t reach_ = 0;

  // The trigger bytes (see Tables) among the 64 bytes from stream offset
  // trigger_block_ on, bit i for the byte at trigger_block_ + i; the block
  // is looked at again when more bytes come after it.
  std::uint64_t trigger_block_ = kNoTriggerBlock;
  std::uint64_t trigger_bits_ = 0;
  static constexpr std::uint64_t kNoTriggerBlock = ~std::uint64_t{0} >> 1;
  // The same for the stops of the run stop_run_ (none if null), from
  // stream offset stop_block_ on (see CachedStop).
  const ByteRun* stop_run_ = nullptr;
  std::uint64_t stop_block_ = 0;
  std::uint64_t stop_bits_ = 0;

  // A look-ahead from pos_ that SkipCopies began and handed over, its
  // head ends noted: the bytes it read, the entry into the state it
  // stands in, and the entry after the first byte (a copy of one byte can
  // end there).  walked_ is 0 when there is none.
  std::size_t walked_ = 0;
  std::uint32_t walked_entry_ = 0;
  std::uint32_t walked_first_ = 0;

  // Short steps taken, by a hash of their state and bytes.
  ShortStep short_steps_[kShortSteps];

#ifdef PTSEG_COUNT_STEPS
  std::uint64_t steps_ = 0;
#endif
};

}  // namespace ptseg
