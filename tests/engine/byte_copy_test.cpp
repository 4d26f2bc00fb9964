// byte_copy_test: MoveBytes moves as memmove does, in either direction
// across an overlap, for lengths around and across its pieces.
#include "engine/byte_copy.h"

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

int main() {
  std::mt19937 random(7);
  std::string text(40000, '\0');
  for (char& c : text) c = static_cast<char>(random());
  int failures = 0;
  for (int i = 0; i < 2000; ++i) {
    const std::size_t n = random() % 3 == 0 ? random() % 5000 : random() % 20000;
    const std::size_t from = random() % (text.size() - n);
    const std::size_t to = random() % (text.size() - n);
    std::string want = text;
    std::memmove(&want[to], &want[from], n);
    std::string got = text;
    ptseg::MoveBytes(&got[to], &got[from], n);
    if (got != want) {
      std::fprintf(stderr, "byte_copy_test: %zu bytes from %zu to %zu wrong\n", n, from, to);
      ++failures;
    }
  }
  std::string appended = "head";
  ptseg::AppendBytes(&appended, text);
  if (appended != "head" + text) {
    std::fprintf(stderr, "byte_copy_test: AppendBytes wrong\n");
    ++failures;
  }
  std::printf("%s\n", failures == 0 ? "ok   MoveBytes and AppendBytes" : "FAILED");
  return failures == 0 ? 0 : 1;
}
