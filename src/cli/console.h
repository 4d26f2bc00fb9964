// Standard error of ptsplit: messages, and the progress line redrawn over
// itself on a terminal.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace ptsplit {

// Standard error, shared by the threads of a run.
class Console {
 public:
  explicit Console(bool progress) : progress_(progress) {}

  // "ptsplit: WHAT: WHY" on a line of its own; the progress line comes
  // back at the next redraw.
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

// "12.3": bytes in megabytes, one decimal.
std::string Megabytes(std::uint64_t bytes);

// ", 45.2 MB/s" after `done` bytes in `seconds`, then ", 0:03 left" when
// the `total` is known (not 0); nothing before the first byte.
std::string Speed(std::uint64_t done, std::uint64_t total, double seconds);

}  // namespace ptsplit
