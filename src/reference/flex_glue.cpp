#include "reference/flex_glue.h"

#include <cstdlib>

#include "engine/engine.h"

namespace ptseg {

std::size_t ReadFlexInput(std::FILE* in, bool interactive, char* buf, std::size_t max_size) {
  bool failed = false;
  const std::size_t n = ReadInput(in, interactive, buf, max_size, &failed);
  if (failed) Fatal("input in flex scanner failed");
  return n;
}

namespace {

void* Grow(void* block, std::size_t new_size) {
  void* grown = std::realloc(block, new_size);
  if (grown == nullptr) Fatal("out of dynamic memory for the input buffer");
  return grown;
}

}  // namespace

void MakeRoom(char*& ch_buf, int& buf_size, int*& state_buf, std::size_t held) {
  const std::size_t size = static_cast<std::size_t>(buf_size);
  // The next refill reads into buf_size - held - 1 bytes of room.
  if (held + 1 < size) return;
  const std::size_t grown = GrownSize(size, held + 1);
  if (grown == 0) Fatal(kLookaheadMessage);
  ch_buf = static_cast<char*>(Grow(ch_buf, grown + 2));
  state_buf = static_cast<int*>(Grow(state_buf, (grown + 2) * sizeof(int)));
  buf_size = static_cast<int>(grown);
}

}  // namespace ptseg
