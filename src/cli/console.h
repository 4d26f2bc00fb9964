// Standard error of ptsplit: messages, and the progress line redrawn over
// itself on a terminal.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace ptsplit {

// Standard error, shared by the threads of a run.
class Console {
 public:
  explicit Console(bool progress) : progress_(progress) {}

  // "ptsplit: WHAT: WHY" on a line of its own; the progress line comes
  // back at the next redraw.  File names in WHAT, and in a MESSAGE below,
  // are shown as DisplayName shows them: a line feed or an escape sequence
  // in a name neither breaks the line nor reaches the terminal.
  void Complain(const std::string& what, const std::string& why);

  // "ptsplit: MESSAGE", for a run refused before it starts.
  void Refuse(const std::string& message);

  bool progress() const { return progress_; }

  // Draws the progress line over the last one.
  void Redraw(const std::string& line);

  // Ends the progress line, if one is shown, with a line feed.
  void EndProgress();

 private:
  std::mutex mutex_;
  const bool progress_;
  bool shown_ = false;
};

// The progress line of a run that splits its inputs one after the other
// to standard output: drawn from a thread of its own, once the run has
// taken kDelay, for the input under way.
// "ptsplit: 3.4/22.0 MB (15%), 45.2 MB/s, 0:03 left" for a regular file,
// "ptsplit: 3.4 MB, 45.2 MB/s" for a pipe.
class StreamProgress {
 public:
  static constexpr std::chrono::seconds kDelay{2};

  // Draws nothing unless console->progress().
  explicit StreamProgress(Console* console);
  ~StreamProgress() { Stop(); }

  // An input starts: `size` bytes when known, 0 otherwise; `shown` false
  // for an input typed on a terminal.  Returns the count of bytes read to
  // pass to Splitter::Split.
  std::atomic<std::uint64_t>* Start(std::uint64_t size, bool shown);

  // Draws the line a last time, ends it, and stops the thread.
  void Stop();

 private:
  void Draw();

  Console* const console_;
  const std::chrono::steady_clock::time_point run_start_;
  std::atomic<std::uint64_t> bytes_{0};
  std::uint64_t size_ = 0;  // these three under mutex_
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
};

// "12.3": bytes in megabytes, one decimal.
std::string Megabytes(std::uint64_t bytes);

// ", 45.2 MB/s" after `done` bytes in `seconds`, then ", 0:03 left" when
// the `total` is known (not 0); nothing before the first byte.
std::string Speed(std::uint64_t done, std::uint64_t total, double seconds);

}  // namespace ptsplit
