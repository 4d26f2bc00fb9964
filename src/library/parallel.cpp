#include "library/parallel.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "engine/byte_copy.h"

namespace ptseg {
namespace library {
namespace {

// Chunks of 256 KiB cost a few more joins than larger ones (0.3% more
// work than at 1 MiB on text), but those in flight stay in the caches and
// touch fewer fresh pages, each a page fault: at 1 MiB, two threads
// touched 8 MB more, and peaked at 17 MB instead of 10.
constexpr std::size_t kDefaultChunkSize = std::size_t{256} << 10;
// A larger chunk would gain nothing: no look-ahead may read further.
constexpr std::size_t kLargestChunk = kMaxLookahead;
// A chunk's own scan notes whether it rests at the meeting places in its
// first kMeetWindow bytes (see NextMeetingPlace), for the true scan to
// meet it at one of them: only there, since both must have read the same
// bytes.  On text the two meet at the first place after the true scan's
// last look-ahead into the chunk, a sentence or so in.
constexpr std::size_t kMeetWindow = std::size_t{1} << 16;
constexpr std::size_t kMeetStep = 32;
// Each meeting place is a piece fed on its own, at some cost.
constexpr std::size_t kPlacesPerStep = 4;

// Meeting place `n` of a chunk's bytes (from 0), after the last one at
// `from`, or 0 past the window: before the first blank or line feed at
// least a step on, where a scan mostly rests at the end of a word (after
// the blank, it looks ahead), or four steps on in text without them.  A
// step is kMeetStep bytes (less in chunks of a few hundred bytes or fewer,
// so that scans meet in those too), and doubles every 4 places: most
// scans meet at the first few, and a look-ahead far into the chunk still
// meets one at little cost.
std::size_t NextMeetingPlace(std::string_view bytes, std::size_t from, std::size_t n) {
  const std::size_t step = std::clamp<std::size_t>(bytes.size() / 16, 1, kMeetStep)
                           << std::min<std::size_t>(n / kPlacesPerStep, 16);
  const std::size_t end = std::min({bytes.size(), kMeetWindow, from + 4 * step});
  for (std::size_t at = from + step; at < end; ++at) {
    if (bytes[at] == ' ' || bytes[at] == '\n') return at;
  }
  return end > from ? end : 0;
}

// Chunks scanned or being scanned, per thread, at most.
constexpr std::size_t kQueued = 2;

}  // namespace

struct ParallelStream::Chunk {
  std::uint64_t base = 0;     // its stream offset
  bool at_line_start = true;  // whether the byte before it ends a line
  std::shared_ptr<ByteBuffer> bytes;
  // Starts its scan reported and not yet passed on, in order.
  std::vector<Boundary> found;
  // The meeting places where its scan rested, and in what state.
  std::vector<std::pair<std::size_t, int>> rests;
  // Its scan; before the scan, perhaps one done with, to start over.
  std::unique_ptr<Stream> stream;
  std::exception_ptr error;
  // Whether its scan has ended, and the thread that scanned it (0: the
  // caller's); guarded by the stream's mutex_.
  bool scanned = false;
  std::size_t scanner = 0;

  // Scans the chunk as if running text started there, noting where the
  // scan rests at the meeting places.
  void Scan(const Options& options) {
    try {
      if (stream) {
        stream->Restart(&found, base, at_line_start);
      } else {
        stream = std::make_unique<Stream>(options, nullptr, 0, nullptr, base, at_line_start);
        stream->KeepStarts(&found);
      }
      const std::string_view text = bytes->view();
      std::size_t fed = 0;
      if (base != 0) {
        for (std::size_t n = 0, at = NextMeetingPlace(text, 0, 0); at != 0;
             at = NextMeetingPlace(text, at, ++n)) {
          stream->Feed(text.substr(fed, at - fed));
          fed = at;
          const int state = stream->Resting();
          if (state >= 0) rests.emplace_back(at, state);
        }
      }
      stream->Feed(text.substr(fed));
    } catch (...) {
      error = std::current_exception();
    }
  }
};

ParallelStream::ParallelStream(const Options& options, Segmenter::MarkupSink markup,
                               std::size_t gather, Stream::BoundarySink boundaries)
    : options_(options),
      threads_(ThreadCount(options)),
      chunk_size_(options.chunk_size != 0 ? std::min(options.chunk_size, kLargestChunk)
                                          : kDefaultChunkSize),
      spares_(kQueued * threads_ + 2),
      sink_(std::move(boundaries)),
      spare_streams_(threads_) {
  if (markup) markup_.emplace(std::move(markup), options.encoding, gather);
}

ParallelStream::~ParallelStream() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void ParallelStream::Feed(std::string_view bytes) {
  ThenFlush(markup_, [&] { FeedBytes(bytes); });
}

void ParallelStream::FeedBytes(std::string_view bytes) {
  while (!bytes.empty()) {
    std::size_t n = 0;
    char* const space = Room(bytes.size(), &n);
    MoveBytes(space, bytes.data(), n);
    Fill(n);
    bytes.remove_prefix(n);
  }
}

// Reads go to 64-byte boundaries, as ptsplit's own do: on some processors
// the kernel copies a file's bytes to other addresses several times more
// slowly.  A short read after a cut brings the chunk's end to one.
char* ParallelStream::Space(std::size_t size, std::size_t* room) {
  char* const space = Room(size, room);
  const auto misaligned = reinterpret_cast<std::uintptr_t>(space) % 64;
  if (misaligned != 0) *room = std::min<std::size_t>(*room, 64 - misaligned);
  return space;
}

// Room at the end of the chunk under way, which is shorter than a chunk.
char* ParallelStream::Room(std::size_t size, std::size_t* room) {
  if (!open_) open_ = NewChunk(0, true);
  ByteBuffer& open = *open_->bytes;
  *room = std::min(size, chunk_size_ - open.size());
  open.reserve(chunk_size_);
  return open.data() + open.size();
}

void ParallelStream::Commit(std::size_t size) {
  ThenFlush(markup_, [&] { Fill(size); });
}

// The chunk under way takes the `size` bytes written at Space, and is cut
// off once whole.
void ParallelStream::Fill(std::size_t size) {
  ByteBuffer& open = *open_->bytes;
  open.resize(open.size() + size);
  if (open.size() == chunk_size_) Cut(false);
}

void ParallelStream::Flush() {
  ThenFlush(markup_, [&] {
    if (open_ && !open_->bytes->empty()) Cut(true);
    JoinReady(0);
  });
}

void ParallelStream::Finish() {
  ThenFlush(markup_, [&] { FinishBytes(); });
}

void ParallelStream::FinishBytes() {
  if (open_ && !open_->bytes->empty()) Cut(true);
  JoinReady(0);
  if (!truth_) {  // nothing was fed
    truth_ = NewChunk(0, true);
    truth_->stream = std::make_unique<Stream>(options_, nullptr, 0, nullptr);
    truth_->stream->KeepStarts(&truth_->found);
  }
  truth_->stream->Finish();
  TakeTruth();
  if (markup_) {
    const std::uint64_t end =
        held_.empty() ? held_from_ : held_.back().base + held_.back().bytes->size();
    const std::uint64_t close = CloseAt(options_.encoding, end);
    WriteHeld(close);
    markup_->Close();
    if (close < end) {
      WriteHeld(end);
      markup_->Flush();
    }
  }
}

std::uint64_t ParallelStream::decided() const {
  if (reporting_ != kNotReporting) return reporting_;
  return truth_ ? truth_->stream->decided() : 0;
}

// Hands the open chunk to the workers, cut after its last line break in
// its second half (all of it when `whole`), the rest opening the next
// chunk.
void ParallelStream::Cut(bool whole) {
  std::unique_ptr<Chunk> chunk = std::move(open_);
  ByteBuffer& bytes = *chunk->bytes;
  std::size_t cut = bytes.size();
  if (!whole) {
    // A chunk that starts a line starts running text, as the true scan
    // most likely stands there too.
    const std::size_t line_end = bytes.view().rfind('\n', cut - 1);
    if (line_end != std::string_view::npos && line_end + 1 > cut / 2) cut = line_end + 1;
  }
  open_ = NewChunk(chunk->base + cut, bytes.data()[cut - 1] == '\n');
  open_->bytes->resize(bytes.size() - cut);
  MoveBytes(open_->bytes->data(), bytes.data() + cut, bytes.size() - cut);
  bytes.resize(cut);
  if (markup_) held_.push_back({chunk->bytes, chunk->base});
  StartScan(std::move(chunk));
}

// Queues the chunk, once at most kQueued * threads_ are in flight,
// starting a worker while all are busy and fewer than threads_ - 1 run:
// the calling thread is the last of the threads_, scanning while it waits
// (see JoinReady).  Chunks whose scans are done are joined meanwhile, so
// that no core waits for the one chunk at the front.
void ParallelStream::StartScan(std::unique_ptr<Chunk> chunk) {
  JoinReady(kQueued * threads_ - 1);
  chunks_.push_back(std::move(chunk));
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    to_scan_.push_back(chunks_.back().get());
    // A worker woken but not yet running still counts as idle: one more
    // starts while chunks queued outnumber the idle workers.
    if (to_scan_.size() > idle_ && workers_.size() + 1 < threads_) {
      try {
        workers_.emplace_back([this, index = workers_.size() + 1] { Work(index); });
      } catch (const std::system_error&) {
        // The threads there, the calling one at least, scan it in turn.
      }
    }
  }
  work_.notify_one();
}

// A worker: scans the chunks queued, in order, until the stream goes.
// The threads stay for the stream's life, since a new thread costs page
// faults for its stack and its heap.
void ParallelStream::Work(std::size_t index) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++idle_;
    work_.wait(lock, [this] { return stopping_ || !to_scan_.empty(); });
    --idle_;
    if (stopping_) return;
    ScanNext(lock, index);
    scan_ended_.notify_all();
  }
}

// Scans the first chunk queued on thread `index`, with a scan that thread
// ran before if one is spare, and with `lock` (on mutex_) let go meanwhile.
void ParallelStream::ScanNext(std::unique_lock<std::mutex>& lock, std::size_t index) {
  Chunk* chunk = to_scan_.front();
  to_scan_.pop_front();
  chunk->scanner = index;
  // Another thread's spare scan rather than a new one, so that no more
  // are kept than one pool kept.
  std::vector<std::unique_ptr<Stream>>* spares = &spare_streams_[index];
  for (std::size_t i = 0; spares->empty() && i < spare_streams_.size(); ++i) {
    spares = &spare_streams_[i];
  }
  if (!spares->empty()) {
    chunk->stream = std::move(spares->back());
    spares->pop_back();
  }
  lock.unlock();
  chunk->Scan(options_);
  lock.lock();
  chunk->scanned = true;
}

// Joins the chunks whose scans are done, in order, waiting for them while
// more than `keep` are in flight.  While it waits, this thread scans the
// chunks no worker has taken yet, rather than sleep while the workers
// share the cores with the copies and the joins it makes.
void ParallelStream::JoinReady(std::size_t keep) {
  while (!chunks_.empty()) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      Chunk* front = chunks_.front().get();
      if (chunks_.size() <= keep && !front->scanned) break;
      while (!front->scanned) {
        if (to_scan_.empty()) {
          scan_ended_.wait(lock);
        } else {
          ScanNext(lock, 0);
        }
      }
    }
    std::unique_ptr<Chunk> chunk = std::move(chunks_.front());
    chunks_.pop_front();
    Join(std::move(chunk));
    if (markup_) WriteHeld(decided());
  }
}

// Carries the true scan into the next chunk until it meets the chunk's
// own scan, which is then the true one.
void ParallelStream::Join(std::unique_ptr<Chunk> next) {
  if (!truth_) {  // the first chunk's scan is the true one
    truth_ = std::move(next);
    if (truth_->error) {
      PassDecided();
      std::rethrow_exception(truth_->error);
    }
    TakeTruth();
    return;
  }
  const std::string_view bytes = next->bytes->view();
  Stream& truth = *truth_->stream;
  std::size_t k = 0;
  bool met = false;
  if (!next->error) {
    // The scans can meet only where the chunk's own rested.
    for (auto rest = next->rests.begin(); rest != next->rests.end() && !met; ++rest) {
      FeedTruth(bytes.substr(k, rest->first - k));
      k = rest->first;
      met = truth.Resting() == rest->second;
    }
  }
  TakeTruth();
  if (!met) {  // the chunk's own scan never met the true one
    FeedTruth(bytes.substr(k));
    TakeTruth();
    Recycle(std::move(next));
    return;
  }
  // Starts at the meeting point were reported by the true scan already.
  const std::uint64_t at = next->base + k;
  const Boundary* const found = next->found.data();
  const Boundary* const end = found + next->found.size();
  EmitAll(std::find_if(found, end, [at](const Boundary& start) { return start.offset > at; }), end);
  reporting_ = kNotReporting;
  next->found.clear();
  Recycle(std::move(truth_));
  truth_ = std::move(next);
}

// A chunk to fill from stream offset `base` on, with the buffers and the
// scan of chunks done with where there are some: a fresh buffer costs the
// kernel a page fault for every 4 KB written to it, and memory freed and
// taken again costs it more (the other threads' address translations are
// flushed).
std::unique_ptr<ParallelStream::Chunk> ParallelStream::NewChunk(std::uint64_t base,
                                                                bool at_line_start) {
  std::unique_ptr<Chunk> chunk;
  if (spare_chunks_.empty()) {
    chunk = std::make_unique<Chunk>();
  } else {
    chunk = std::move(spare_chunks_.back());
    spare_chunks_.pop_back();
  }
  chunk->base = base;
  chunk->at_line_start = at_line_start;
  if (spare_bytes_.empty()) {
    chunk->bytes = std::make_shared<ByteBuffer>();
    chunk->bytes->reserve(chunk_size_);
  } else {
    chunk->bytes = std::move(spare_bytes_.back());
    spare_bytes_.pop_back();
  }
  return chunk;
}

// Keeps what a chunk done with holds, its scan ended, for NewChunk: as
// many as may be in flight at once, so that none is freed on the way.
void ParallelStream::Recycle(std::unique_ptr<Chunk> chunk) {
  if (!chunk) return;
  Recycle(std::move(chunk->bytes));
  // A scan that failed may stand anywhere: it is not taken up again.
  if (chunk->stream && !chunk->error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::size_t spare = 0;
    for (const std::vector<std::unique_ptr<Stream>>& pool : spare_streams_) spare += pool.size();
    if (spare < spares_) spare_streams_[chunk->scanner].push_back(std::move(chunk->stream));
  }
  if (spare_chunks_.size() >= spares_) return;
  chunk->found.clear();
  chunk->rests.clear();
  chunk->stream.reset();
  chunk->error = nullptr;
  chunk->scanned = false;
  chunk->scanner = 0;
  spare_chunks_.push_back(std::move(chunk));
}

void ParallelStream::Recycle(std::shared_ptr<ByteBuffer> bytes) {
  // Markup may still hold them.
  if (bytes.use_count() != 1 || spare_bytes_.size() >= spares_) return;
  bytes->clear();
  spare_bytes_.push_back(std::move(bytes));
}

// Feeds the true scan; if it fails, what it decided before goes out first.
void ParallelStream::FeedTruth(std::string_view bytes) {
  try {
    truth_->stream->Feed(bytes);
  } catch (...) {
    PassDecided();
    throw;
  }
}

// The true scan has failed: passes on the starts it found and writes the
// markup as far as it decided, as one thread does.
void ParallelStream::PassDecided() {
  TakeTruth();
  if (markup_) WriteHeld(decided());
}

// Passes on the starts the true scan has reported.
void ParallelStream::TakeTruth() {
  EmitAll(truth_->found.data(), truth_->found.data() + truth_->found.size());
  reporting_ = kNotReporting;
  truth_->found.clear();
}

// Passes on the starts from `first` to `last` that the true scan found,
// as Emit does one by one.
void ParallelStream::EmitAll(const Boundary* first, const Boundary* last) {
  if (sink_) {  // which may look at the markup and decided() at each start
    for (; first != last; ++first) Emit(*first);
    return;
  }
  if (!markup_) {
    if (kept_ != nullptr) kept_->insert(kept_->end(), first, last);
    return;
  }
  // The text before each start goes to the markup straight from the piece
  // held, looked up once for all the starts inside it.  A start is kept
  // once the markup before it is written, as Emit keeps it: a markup sink
  // that throws leaves the starts one thread would have kept.
  const Boundary* kept_from = first;
  const auto keep = [&] {
    if (kept_ != nullptr) kept_->insert(kept_->end(), kept_from, first);
    kept_from = first;
  };
  try {
    while (first != last) {
      const Held& piece = held_.front();
      const char* const data = piece.bytes->data();
      const std::uint64_t base = piece.base;
      const std::uint64_t end = base + piece.bytes->size();
      for (; first != last && first->offset < end; ++first) {
        reporting_ = first->offset;
        markup_->Text(std::string_view(data + (held_from_ - base),
                                       static_cast<std::size_t>(first->offset - held_from_)));
        held_from_ = first->offset;
        markup_->Start(*first);
      }
      if (first == last) break;
      // A start at the piece's end or further on.
      reporting_ = first->offset;
      WriteHeld(first->offset);
      markup_->Start(*first);
      ++first;
    }
  } catch (...) {
    keep();
    throw;
  }
  keep();
}

// Passes on a start the true scan found, which may have scanned further:
// until the starts it found are all passed on, decided() is the start's.
void ParallelStream::Emit(const Boundary& start) {
  reporting_ = start.offset;
  if (markup_) {
    WriteHeld(start.offset);
    markup_->Start(start);
  }
  if (kept_ != nullptr) {
    Keep(kept_, start);
  } else if (sink_) {
    sink_(start);
  }
}

// Writes the input held for the markup up to stream offset `end`.
void ParallelStream::WriteHeld(std::uint64_t end) {
  while (held_from_ < end) {
    const Held& piece = held_.front();
    const std::uint64_t piece_end = piece.base + piece.bytes->size();
    const std::uint64_t to = std::min(end, piece_end);
    markup_->Text(std::string_view(piece.bytes->data() + (held_from_ - piece.base),
                                   static_cast<std::size_t>(to - held_from_)));
    held_from_ = to;
    if (to == piece_end) {
      Recycle(std::move(held_.front().bytes));
      held_.pop_front();
    }
  }
}

}  // namespace library
}  // namespace ptseg
