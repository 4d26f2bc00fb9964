// DisplayName: valid UTF-8 out, every name told apart.
#include "cli/names.h"

#include <cstdio>
#include <string>

int main() {
  static const struct {
    std::string raw, shown;
  } kCases[] = {
      {"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x93\x96.txt",
       "caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x93\x96.txt"},
      {"caf\xE9.txt", "caf\\xE9.txt"},                          // Windows-1252, not UTF-8
      {"caf\\xE9.txt", "caf\\x5CxE9.txt"},                      // the characters of an escape
      {"a\\b\\", "a\\b\\"},                                     // other backslashes stay
      {"fim\xC3", "fim\\xC3"},                                  // cut short
      {"\xC0\xAF\xED\xA0\x80", "\\xC0\\xAF\\xED\\xA0\\x80"},    // overlong, surrogate
      {"a\nb\x7F\xEF\xBF\xBE", "a\\x0Ab\\x7F\\xEF\\xBF\\xBE"},  // JSON or XML would not show them
      {std::string("\0", 1), "\\x00"},
      {"a\xC2\x9B[2J\xC2\x85z\xC2\xA0", "a\\xC2\\x9B[2J\\xC2\\x85z\xC2\xA0"},  // C1 controls
  };
  int failed = 0;
  for (const auto& c : kCases) {
    const std::string shown = ptsplit::DisplayName(c.raw);
    if (shown != c.shown) {
      std::printf("FAIL %s: got %s, want %s\n", c.raw.c_str(), shown.c_str(), c.shown.c_str());
      ++failed;
    }
  }
  std::printf(failed == 0 ? "all passed\n" : "%d failed\n", failed);
  return failed == 0 ? 0 : 1;
}
