// One stream segmented on several threads.  The stream is cut into
// chunks, and a pool of workers, with the calling thread as it waits for
// them, scans each chunk as if running text started there.  The join then
// carries the true scan on from the end of the chunk before, to one
// meeting place after another (word ends a step apart), until it rests at
// a match start in running text where the chunk's own scan rested too, in
// the same state: from there the two scans go on alike, so the chunk's
// results hold.  Where they never meet (a look-ahead that spans the cut),
// the true scan reads the whole chunk itself.  Either way the results are
// those of one scan.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "library/stream.h"

namespace ptseg {
namespace library {

// The threads that segment a stream with these options: 0 is one per core.
inline unsigned ThreadCount(const Options& options) {
  return options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
}

class ParallelStream final : public Segmentation {
 public:
  // The markup and the starts go as from a Stream.
  ParallelStream(const Options& options, Segmenter::MarkupSink markup, std::size_t gather,
                 Stream::BoundarySink boundaries);
  ~ParallelStream() override;

  void Feed(std::string_view bytes) override;
  // Room at the end of the chunk under way, which Commit adds to: the
  // bytes are read into the chunk itself, not copied there.
  char* Space(std::size_t size, std::size_t* room) override;
  void Commit(std::size_t size) override;
  // Scans the chunk under way at once, and joins every chunk in flight.
  void Flush() override;
  void KeepStarts(std::vector<Boundary>* kept) override { kept_ = kept; }
  void Finish() override;
  std::uint64_t decided() const override;

 private:
  struct Chunk;

  void FeedBytes(std::string_view bytes);
  char* Room(std::size_t size, std::size_t* room);
  void Fill(std::size_t size);
  void FinishBytes();
  std::unique_ptr<Chunk> NewChunk(std::uint64_t base, bool at_line_start);
  void Recycle(std::unique_ptr<Chunk> chunk);
  void Recycle(std::shared_ptr<ByteBuffer> bytes);
  void Cut(bool whole);
  void StartScan(std::unique_ptr<Chunk> chunk);
  void Work(std::size_t index);
  void ScanNext(std::unique_lock<std::mutex>& lock, std::size_t index);
  void JoinReady(std::size_t keep);
  void Join(std::unique_ptr<Chunk> chunk);
  void FeedTruth(std::string_view bytes);
  void PassDecided();
  void TakeTruth();
  void EmitAll(const Boundary* first, const Boundary* last);
  void Emit(const Boundary& start);
  void WriteHeld(std::uint64_t end);

  const Options options_;
  const std::size_t threads_;
  const std::size_t chunk_size_;
  // Chunks, buffers and scans kept for new chunks, each at most: those in
  // flight, the open chunk and the true scan's.
  const std::size_t spares_;
  const Stream::BoundarySink sink_;
  std::vector<Boundary>* kept_ = nullptr;
  std::optional<MarkupWriter> markup_;

  // Input not yet cut off as a chunk, from stream offset open_->base on:
  // each byte is copied once, into the chunk it ends up in.
  std::unique_ptr<Chunk> open_;
  // The workers and the chunks queued for them, guarded by mutex_: work_
  // is signalled when a chunk is queued or the stream goes, scan_ended_
  // when a scan ends.
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable scan_ended_;
  std::deque<Chunk*> to_scan_;
  std::size_t idle_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
  // Chunks scanned or being scanned, in stream order.
  std::deque<std::unique_ptr<Chunk>> chunks_;
  // The chunk whose scan is the true one, through the chunks joined.
  std::unique_ptr<Chunk> truth_;
  // The start being passed on, while the true scan's are (see Emit).
  static constexpr std::uint64_t kNotReporting = ~std::uint64_t{0};
  std::uint64_t reporting_ = kNotReporting;
  // Markup: the chunks' bytes not yet written, in order, from stream
  // offset held_from_ on (which is in the first of them).
  struct Held {
    std::shared_ptr<ByteBuffer> bytes;
    std::uint64_t base;
  };
  std::deque<Held> held_;
  std::uint64_t held_from_ = 0;
  // Chunks and chunk buffers done with, for new chunks.
  std::vector<std::unique_ptr<Chunk>> spare_chunks_;
  std::vector<std::shared_ptr<ByteBuffer>> spare_bytes_;
  // Scans done with, by the thread that ran them (0: the calling thread,
  // workers from 1 on), at most spares_ in all, guarded by mutex_: each
  // thread starts its next chunk with its own scan's buffers in its
  // caches, not another core's, where it has one.
  std::vector<std::vector<std::unique_ptr<Stream>>> spare_streams_;
};

}  // namespace library
}  // namespace ptseg
