// work_counts: the UTF-8 front end's work must grow linearly with its input
// however it is fed, counted, not timed.
//
// - Fed a byte at a time, a run of joining marks (U+FE0F) is read once:
//   the characters the cluster reader reads stay within twice those it
//   reads when the text comes whole.
// - Cycled three times through the 81,476 CJK ideographs (BMP and
//   Extension B) and Hangul syllables, the character cache works out each
//   character about once, not once per cycle.
#include <cstdint>
#include <cstdio>
#include <string>

#include "text/matching_copy.h"
#include "text/utf8.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what, double got, double bound) {
  std::printf("%s %s: %.0f (bound %.0f)\n", ok ? "ok  " : "FAIL", what, got, bound);
  if (!ok) ++failures;
}

// Characters the cluster reader reads for `text`, fed in pieces of `piece`
// bytes (0: whole).
std::uint64_t Decoded(const std::string& text, std::size_t piece) {
  ptseg::MatchingCopy copy;
  std::string out;
  if (piece == 0) piece = text.size();
  for (std::size_t at = 0; at < text.size(); at += piece) {
    copy.Feed(text.data() + at, std::min(piece, text.size() - at), &out);
  }
  copy.Finish(&out);
  return copy.decoded();
}

void AppendUtf8(char32_t cp, std::string* text) {
  char buf[4];
  text->append(buf, static_cast<std::size_t>(ptseg::utf8::Encode(cp, buf)));
}

}  // namespace

int main() {
  for (int marks : {1000, 5000}) {
    std::string text = "Fim. ";
    for (int i = 0; i < marks; ++i) AppendUtf8(0xFE0F, &text);
    text += " Ele saiu.";
    const double whole = static_cast<double>(Decoded(text, 0));
    const double bytewise = static_cast<double>(Decoded(text, 1));
    const std::string what =
        "characters read, " + std::to_string(marks) + " marks fed byte by byte";
    Check(bytewise <= 4 * whole + 64, what.c_str(), bytewise, 4 * whole + 64);
  }

  std::string cycle;
  std::uint64_t distinct = 0;
  for (auto [from, to] : {std::pair<char32_t, char32_t>{0x3400, 0x4DBF},
                          {0x4E00, 0x9FFF},
                          {0xAC00, 0xD7A3},
                          {0x20000, 0x2A6DF}}) {
    for (char32_t cp = from; cp <= to; ++cp, ++distinct) {
      AppendUtf8(cp, &cycle);
      cycle += ' ';
    }
  }
  ptseg::MatchingCopy copy;
  std::string out;
  for (int round = 0; round < 3; ++round) {
    out.clear();
    copy.Feed(cycle.data(), cycle.size(), &out);
  }
  copy.Finish(&out);
  const double computed = static_cast<double>(copy.computed());
  const double bound = 1.25 * static_cast<double>(distinct);
  Check(computed <= bound, "characters worked out, 81,476 cycled 3 times", computed, bound);
  return failures == 0 ? 0 : 1;
}
