#include "scanner/flex_glue.h"

namespace ptseg {

void MakeRoom(char*& ch_buf, int& buf_size, int*& state_buf,
              std::size_t held) {
  const std::size_t size = static_cast<std::size_t>(buf_size);
  // The next refill reads into buf_size - held - 1 bytes of room.
  if (held + 1 < size) return;
  const std::size_t grown = GrownSize(size, held + 1);
  ch_buf = static_cast<char*>(Grow(ch_buf, grown + 2));
  state_buf = static_cast<int*>(Grow(state_buf, (grown + 2) * sizeof(int)));
  buf_size = static_cast<int>(grown);
}

}  // namespace ptseg
