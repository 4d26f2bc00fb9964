// work_counts: the UTF-8 front end's work must grow linearly with its input
// however it is fed, counted, not timed.
//
// - Fed a byte at a time, a run of joining marks (U+FE0F) is read once:
//   the characters the cluster reader reads stay within twice those it
//   reads when the text comes whole.
// - Cycled three times through the 81,476 CJK ideographs (BMP and
//   Extension B) and Hangul syllables, the character cache works out each
//   character about once, not once per cycle.
// - Wrapped lines: 64 MiB of CRs after a line break, held back until the
//   byte after them decides what they are, take no block of memory of
//   more than a few MiB, and the CRs read as the blanks they become.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "ptseg/ptseg.h"
#include "text/matching_copy.h"
#include "text/utf8.h"

// The largest block of memory asked for so far.  (GCC takes the free()
// of blocks this operator new got from malloc() for a mismatch.)
static std::size_t largest_block = 0;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  if (size > largest_block) largest_block = size;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

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
  ptseg::ByteBuffer out;
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
  ptseg::ByteBuffer out;
  for (int round = 0; round < 3; ++round) {
    out.clear();
    copy.Feed(cycle.data(), cycle.size(), &out);
  }
  copy.Finish(&out);
  const double computed = static_cast<double>(copy.computed());
  const double bound = 1.25 * static_cast<double>(distinct);
  Check(computed <= bound, "characters worked out, 81,476 cycled 3 times", computed, bound);

  for (ptseg::Encoding encoding : {ptseg::Encoding::kUtf8, ptseg::Encoding::kLatin1}) {
    std::vector<ptseg::Boundary> starts;
    ptseg::Segmenter segmenter({encoding, ptseg::Paragraphs::kBlankLines}, nullptr,
                               [&](const ptseg::Boundary& start) { starts.push_back(start); });
    const std::string crs(std::size_t{1} << 20, '\r');
    largest_block = 0;
    segmenter.Feed("Ola\n");
    for (int i = 0; i < 64; ++i) segmenter.Feed(crs);
    segmenter.Feed("ana. Fim.\n");
    segmenter.Finish();
    const std::uint64_t fim = 4 + (std::uint64_t{64} << 20) + 5;
    Check(starts == std::vector<ptseg::Boundary>{{0, true}, {fim, false}},
          "sentences of a line, then 64 MiB of CRs, then its continuation",
          static_cast<double>(starts.size()), 2);
    Check(largest_block < (std::size_t{4} << 20), "largest block held for those CRs",
          static_cast<double>(largest_block), 4 << 20);
  }
  return failures == 0 ? 0 : 1;
}
