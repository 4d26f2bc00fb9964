#include "cli/console.h"

#include <algorithm>
#include <cstdio>

#include "cli/names.h"

namespace ptsplit {

void Console::Complain(const std::string& what, const std::string& why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shown_) std::fputs("\r\033[K", stderr);
  shown_ = false;
  std::fprintf(stderr, "ptsplit: %s: %s\n", DisplayName(what).c_str(), why.c_str());
}

void Console::Refuse(const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::fprintf(stderr, "ptsplit: %s\n", DisplayName(message).c_str());
}

void Console::Redraw(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
  shown_ = true;
}

void Console::EndProgress() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shown_) std::fputc('\n', stderr);
  shown_ = false;
}

std::string Megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1e6);
  return text;
}

std::string Speed(std::uint64_t done, std::uint64_t total, double seconds) {
  if (seconds <= 0 || done == 0) return "";
  const double rate = static_cast<double>(done) / seconds;
  char text[64];
  std::snprintf(text, sizeof text, ", %.1f MB/s", rate / 1e6);
  std::string speed = text;
  if (total != 0) {
    const std::uint64_t rest = total > done ? total - done : 0;
    const auto left = static_cast<unsigned long>(static_cast<double>(rest) / rate + 0.5);
    std::snprintf(text, sizeof text, ", %lu:%02lu left", left / 60, left % 60);
    speed += text;
  }
  return speed;
}

StreamProgress::StreamProgress(Console* console)
    : console_(console), run_start_(std::chrono::steady_clock::now()), start_(run_start_) {
  if (!console_->progress()) return;
  thread_ = std::thread([this] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      wake_.wait_for(lock, std::chrono::milliseconds(250));
      if (!stop_ && shown_ && std::chrono::steady_clock::now() - run_start_ >= kDelay) Draw();
    }
  });
}

std::atomic<std::uint64_t>* StreamProgress::Start(std::uint64_t size, bool shown) {
  std::lock_guard<std::mutex> lock(mutex_);
  bytes_ = 0;
  size_ = size;
  shown_ = shown;
  start_ = std::chrono::steady_clock::now();
  return &bytes_;
}

void StreamProgress::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    if (shown_ && std::chrono::steady_clock::now() - run_start_ >= kDelay) Draw();
  }
  wake_.notify_all();
  thread_.join();
  console_->EndProgress();
}

// With mutex_ held.
void StreamProgress::Draw() {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const std::uint64_t done = bytes_;
  std::string line = "ptsplit: " + Megabytes(done);
  if (size_ != 0) {
    line += "/" + Megabytes(size_) + " MB (" +
            std::to_string(std::min<std::uint64_t>(done, size_) * 100 / size_) + "%)";
  } else {
    line += " MB";
  }
  console_->Redraw(line + Speed(done, size_, seconds));
}

}  // namespace ptsplit
