#include "cli/console.h"

#include <cstdio>

namespace ptsplit {

void Console::Complain(const std::string& what, const std::string& why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shown_) std::fputs("\r\033[K", stderr);
  shown_ = false;
  std::fprintf(stderr, "ptsplit: %s: %s\n", what.c_str(), why.c_str());
}

void Console::Refuse(const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::fprintf(stderr, "ptsplit: %s\n", message.c_str());
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

}  // namespace ptsplit
