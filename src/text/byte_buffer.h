// A growing byte buffer whose new room is not cleared first: a converter
// makes room for a whole slice, writes what it makes, and cuts the buffer
// back to that, and a read goes straight to the room at its end, where
// std::string would zero the room every time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace ptseg {

class ByteBuffer {
 public:
  char* data() { return bytes_.get(); }
  const char* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return std::string_view(bytes_.get(), size_); }
  void clear() { size_ = 0; }

  // Makes the buffer `size` bytes long: the bytes kept keep their values,
  // new ones have none yet.  Growing keeps room for twice as many.
  void resize(std::size_t size) {
    if (size > capacity_) reserve(std::max(size, 2 * capacity_));
    size_ = size;
  }
  // Makes room for `capacity` bytes in all, keeping those there.
  void reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (size_ != 0) std::memcpy(grown.get(), bytes_.get(), size_);
    bytes_ = std::move(grown);
    capacity_ = capacity;
  }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace ptseg
