// search_test: the vector searches find and flag exactly the bytes of a
// set, for sets whose bytes share few high nibbles (looked up by nibble)
// and many (compared byte by byte), wherever the bytes fall in a block,
// with and without the 64-byte searches.
#include "engine/search.h"

#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace {

int failures = 0;

void Check(bool ok, const char* what, int set_index, std::size_t at) {
  if (ok) return;
  std::fprintf(stderr, "search_test: %s wrong for set %d at %zu\n", what, set_index, at);
  ++failures;
}

}  // namespace

int main() {
  const std::vector<std::vector<unsigned char>> sets = {
      {'\n'},
      {'\n', '!', '.', ':', ';', '?'},
      {0x00, 0x80, 0xFF},
      {0x01, 0x12, 0x23, 0x34, 0x45, 0x56, 0x67, 0x78},  // eight high nibbles
      {0x01, 0x12, 0x23, 0x34, 0x45, 0x56, 0x67, 0x78, 0x89, 0x9A, 0xAB, 0xBC, 0xCD, 0xDE},
  };
  std::mt19937 random(12345);
  for (std::size_t s = 0; s < 2 * sets.size(); ++s) {
    ptseg::search::AllowWideSearches(s < sets.size());
    bool in[256] = {};
    const std::vector<unsigned char>& bytes = sets[s % sets.size()];
    for (unsigned char b : bytes) in[b] = true;
    ptseg::search::ByteSet set;
    if (!ptseg::search::MakeByteSet(in, &set)) {
      Check(false, "MakeByteSet", static_cast<int>(s), 0);
      continue;
    }
    // Text of mostly other bytes, a set byte now and then, and room to
    // read past its end.
    std::vector<unsigned char> text(4096 + 64);
    for (unsigned char& byte : text) {
      byte = random() % 8 == 0 ? bytes[random() % bytes.size()]
                               : static_cast<unsigned char>(random() % 256);
    }
    const std::size_t size = 4096;
    for (std::size_t at = 0; at < size; ++at) {
      std::uint64_t expected = 0;
      for (std::size_t i = 0; i < 64; ++i) expected |= std::uint64_t{in[text[at + i]]} << i;
      Check(set.mask(text.data() + at, set) == expected, "mask", static_cast<int>(s), at);
      std::size_t first = at;
      while (first < size && !in[text[first]]) ++first;
      Check(set.find(text.data() + at, text.data() + size, set) == text.data() + first, "find",
            static_cast<int>(s), at);
    }
  }
  return failures == 0 ? 0 : 1;
}
