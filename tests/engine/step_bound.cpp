// step_bound [MOTIFS]: counts the automaton's transitions on texts built to
// make match attempts look far ahead.  step_bound --plain prints the count
// on running text instead, which the skip makes much smaller (see
// no_skip_test.cmake).  The families repeat one motif at two
// sizes; the count per byte must stay under kBound and must not grow with
// the size.  Then MOTIFS random motifs (default 400) of rule vocabulary,
// repeated with and without a final stop, must keep the same bound.
//
// kBound: a match attempt takes at most 100 transitions of its own (the
// engine's comment at Step says why), there are at most two attempts per
// byte, and each byte costs one more transition for every state
// look-aheads stand in there: 200, plus 8 for those.  Quadratic time shows
// as thousands per byte at 64 KB already.  The families must also stay
// under kFamilyCeiling; the engine takes at most 15 (runs of !).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "engine/count_steps.h"

namespace {

constexpr double kBound = 208;

struct Family {
  const char* name;
  std::string head, unit, tail;
};

const Family kFamilies[] = {
    {"colon enumerators", "", ": 1) A", "."},
    {"list lines", "", "Itens: a) Arroz e feij\xe3o,\n", "Fim."},
    {"list lines, CR LF", "", "Itens: a) Arroz e feij\xe3o,\r\n", "Fim."},
    {"Roman and bracketed", "", ": IV) A: iv) B: (b) C: XII. D", "."},
    {"accents and quotes", "", ": 1) \xc1gua \xbb \xc9 \"Ol\xe1\" ", "."},
    {"dialogue turns", "Ok. ", "- Vou embora, disse ", "- Fim. - "},
    {"dialogue at line starts", "", "Ele disse: 1) Vou\n- Abc def, ", "."},
    {"ellipses", "Fim. ", "... E ", "."},
    {"no final stop", "Ok. Abc ", "def ghi, jkl ", ""},
    {"blanks after a stop", "Fim.", "  \n \t\r\n", "Ana."},
    {"stops and blanks", "", "Fim. \n \t\n", "Ana."},
    // Look-aheads too short to be recorded by their length alone, one
    // starting inside the last one's stretch at every byte.
    {"runs of !", "", std::string(79, '!') + "x", ""},
    {"runs of !? and blanks", "",
     "!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!?!  ", ""},
};
// What no family may take per byte, well under kBound: the runs of ! took
// 40 before short look-aheads were recorded when they repeat.
constexpr double kFamilyCeiling = 20;

const char* const kVocabulary[] = {
    ": ",   "; ",       ". ",   "! ",       "? ",   "...",     " (...)", "[...] ", "1) ",
    "12. ", "a) ",      "(b) ", "IV. ",     "iv) ", "- ",      "-- ",    " - ",    "Ana ",
    "ele ", "\xc1gua ", "Dr. ", "p\xe1g. ", "J. ",  "E.U.A. ", "\"",     "'",      "\xab",
    "\xbb", "(",        ")",    "\n",       "\r\n", "  ",      "\t",     "\r",     ",",
};

// Transitions per byte of `text`.
double StepsPerByte(const std::string& text) {
  return static_cast<double>(ptseg::CountSteps(text)) / static_cast<double>(text.size());
}

std::string Repeat(const std::string& head, const std::string& unit, const std::string& tail,
                   std::size_t size) {
  std::string text = head;
  while (text.size() + unit.size() <= size) text += unit;
  return text + tail;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--plain") {
    const std::string text = Repeat("", "Ana viu o mar, e a casa ficou longe. ", "", 64 << 10);
    std::printf("%llu\n", static_cast<unsigned long long>(ptseg::CountSteps(text)));
    return 0;
  }
  const int motifs = argc > 1 ? std::atoi(argv[1]) : 400;
  int failures = 0;
  auto check = [&](const std::string& what, double ratio) {
    if (ratio > kBound) {
      std::printf("FAIL %s: %.1f transitions per byte (bound %.0f)\n", what.c_str(), ratio, kBound);
      ++failures;
    }
    return ratio;
  };
  for (const Family& f : kFamilies) {
    const double small = check(f.name, StepsPerByte(Repeat(f.head, f.unit, f.tail, 64 << 10)));
    const double big = check(f.name, StepsPerByte(Repeat(f.head, f.unit, f.tail, 1 << 20)));
    if (big > kFamilyCeiling) {
      std::printf("FAIL %s: %.2f per byte (ceiling %.0f)\n", f.name, big, kFamilyCeiling);
      ++failures;
    }
    if (big > small * 1.05 + 0.1) {
      std::printf("FAIL %s: grows from %.2f to %.2f per byte\n", f.name, small, big);
      ++failures;
    }
    std::printf("%-26s %6.2f per byte at 64 KB, %6.2f at 1 MB\n", f.name, small, big);
  }
  std::mt19937 rng(20261208);
  double worst = 0;
  std::string worst_motif;
  for (int i = 0; i < motifs; ++i) {
    std::string unit;
    for (int n = 1 + static_cast<int>(rng() % 6); n > 0; --n) {
      unit += kVocabulary[rng() % (sizeof kVocabulary / sizeof *kVocabulary)];
    }
    for (const char* tail : {"", ". Fim."}) {
      const double ratio =
          check("motif '" + unit + "'", StepsPerByte(Repeat("", unit, tail, 64 << 10)));
      if (ratio > worst) worst = ratio, worst_motif = unit;
    }
  }
  std::printf("%d random motifs: at most %.2f per byte ('%s')\n", motifs, worst,
              worst_motif.c_str());
  return failures == 0 ? 0 : 1;
}
