// UTF-16 to UTF-8, and the runs that map offsets back (see utf16.h).
#include "text/utf16.h"

#include <algorithm>

#include "text/utf8.h"

namespace ptseg {

namespace {
constexpr char32_t kReplacement = 0xFFFD;
bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
}  // namespace

Utf16Decoder::Utf16Decoder(bool big_endian) : big_endian_(big_endian) {}

void Utf16Decoder::Emit(char32_t cp, int in_size, std::string* out) {
  char utf8[4];
  const int size = utf8::Encode(cp, utf8);
  out->append(utf8, static_cast<std::size_t>(size));
  if (runs_.empty() || runs_.back().out_size != size || runs_.back().in_size != in_size) {
    runs_.push_back({produced_, consumed_, static_cast<std::uint8_t>(size),
                     static_cast<std::uint8_t>(in_size)});
  }
  produced_ += static_cast<std::uint64_t>(size);
  consumed_ += static_cast<std::uint64_t>(in_size);
}

void Utf16Decoder::Unit(char16_t unit, std::string* out) {
  if (high_ != 0) {
    const char16_t high = high_;
    high_ = 0;
    if (IsLow(unit)) {
      Emit(0x10000 + ((char32_t{high} - 0xD800) << 10) + (unit - 0xDC00), 4, out);
      return;
    }
    Emit(kReplacement, 2, out);  // the high half alone; `unit` goes on below
  }
  if (IsHigh(unit)) {
    high_ = unit;
  } else {
    Emit(IsLow(unit) ? kReplacement : char32_t{unit}, 2, out);
  }
}

void Utf16Decoder::Feed(std::string_view bytes, std::string* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  if (p == end) return;
  out->reserve(out->size() + bytes.size() + bytes.size() / 2);
  const int hi = big_endian_ ? 0 : 1;  // which byte of a unit is the high one
  if (has_byte_) {
    has_byte_ = false;
    const unsigned char pair[2] = {byte_, *p++};
    Unit(static_cast<char16_t>(pair[hi] << 8 | pair[1 - hi]), out);
  }
  while (end - p >= 2) {
    // Runs of ASCII go out without the per-character bookkeeping.
    if (p[hi] == 0 && p[1 - hi] < 0x80 && high_ == 0) {
      if (runs_.empty() || runs_.back().out_size != 1 || runs_.back().in_size != 2)
        runs_.push_back({produced_, consumed_, 1, 2});
      const auto* start = p;
      do {
        out->push_back(static_cast<char>(p[1 - hi]));
        p += 2;
      } while (end - p >= 2 && p[hi] == 0 && p[1 - hi] < 0x80);
      const auto count = static_cast<std::uint64_t>(p - start) / 2;
      produced_ += count;
      consumed_ += 2 * count;
      continue;
    }
    Unit(static_cast<char16_t>(p[hi] << 8 | p[1 - hi]), out);
    p += 2;
  }
  if (p < end) {
    has_byte_ = true;
    byte_ = *p;
  }
}

void Utf16Decoder::Finish(std::string* out) {
  if (high_ != 0) {
    high_ = 0;
    Emit(kReplacement, 2, out);
  }
  if (has_byte_) {
    has_byte_ = false;
    Emit(kReplacement, 1, out);
  }
}

std::uint64_t Utf16Decoder::Origin(std::uint64_t utf8_offset) {
  if (runs_.empty()) return consumed_;
  if (utf8_offset < runs_.front().out) utf8_offset = runs_.front().out;
  if (cursor_ >= runs_.size() || runs_[cursor_].out > utf8_offset) {
    // Offsets went back: search from the start.
    cursor_ = static_cast<std::size_t>(
        std::upper_bound(runs_.begin(), runs_.end(), utf8_offset,
                         [](std::uint64_t m, const Run& r) { return m < r.out; }) -
        runs_.begin() - 1);
  }
  while (cursor_ + 1 < runs_.size() && runs_[cursor_ + 1].out <= utf8_offset) ++cursor_;
  const Run& run = runs_[cursor_];
  if (utf8_offset >= produced_) return consumed_;
  return run.in + (utf8_offset - run.out) / run.out_size * run.in_size;
}

void Utf16Decoder::Forget(std::uint64_t utf8_offset) {
  std::size_t drop = 0;
  while (drop + 1 < runs_.size() && runs_[drop + 1].out <= utf8_offset) ++drop;
  runs_.erase(runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(drop));
  cursor_ = cursor_ > drop ? cursor_ - drop : 0;
}

}  // namespace ptseg
