// libFuzzer target over the library.  The first byte picks the encoding
// and how the rest, the input, is cut into pieces.
//
// In ISO-8859-1 the markup must be the plain flex scanner's, byte for
// byte; it must also be "<p><s>", the input with breaks inserted,
// "</s></p>": no empty sentence, and each break after whitespace (a
// paragraph break: a line feed and any blanks) and before a byte that is
// none.  The input may hold markup of its own, so the output is aligned
// with it, not searched.  The automaton takes at most 208 transitions per
// byte.
//
// In UTF-8 (valid or not) the markup must be the input with the breaks of
// the boundaries inserted, and the sentences must be those of the ISO-8859-1 matching copy:
// the same breaks, where each break's offset is where the copy of the text
// before it ends.
//
// Either way, feeding the input in pieces must give the same boundaries and
// markup as feeding it whole, and so must reading it as wrapped text, whose
// markup must still hold every byte of the input, and so must segmenting it
// on threads, in chunks of a few bytes.
//
// The input on one line (WriteOneLine, 16 bytes at a time) must be its
// UTF-8 text with each whitespace run one space, read a character at a
// time; as a JSON string (WriteJsonString, likewise) its UTF-8 text
// escaped.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/count_steps.h"
#include "ptseg/ptseg.h"
#include "reference/flex_glue.h"
#include "text/matching_copy.h"

// The flex scanner's own globals (ptseg_rules.cpp).
extern std::FILE* yyin;
extern std::FILE* yyout;
int yylex_destroy();

namespace {

constexpr std::string_view kOpen = "<p><s>";
constexpr std::string_view kClose = "</s></p>";
constexpr std::string_view kSentence = "</s><s>";
constexpr std::string_view kParagraph = "</s></p><p><s>";

bool IsSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\r';
}

// Whether input position i (between in[i-1] and in[i]) may take a break of
// the given kind.
bool BreakFits(std::string_view in, std::size_t i, bool paragraph) {
  if (i == 0 || i >= in.size() || IsSpace(in[i])) return false;
  if (!paragraph) return IsSpace(in[i - 1]) && in[i - 1] != '\r';
  while (i > 0 && (in[i - 1] == ' ' || in[i - 1] == '\t')) --i;
  return i > 0 && in[i - 1] == '\n';
}

// Whether `body` is `in` with fitting breaks inserted, none at either end
// and no two without input between them: a search over the (input
// position, output position, last step) triples reached.
bool Aligns(std::string_view in, std::string_view body) {
  struct Point {
    std::size_t i, j;
    bool after_text;  // the last step matched an input byte
  };
  std::vector<Point> todo{{0, 0, false}};
  std::unordered_set<std::uint64_t> seen;
  while (!todo.empty()) {
    const Point p = todo.back();
    todo.pop_back();
    if (!seen.insert(std::uint64_t{p.i} << 33 | std::uint64_t{p.j} << 1 | p.after_text).second) {
      continue;
    }
    if (p.i == in.size() && p.j == body.size()) return true;
    const std::string_view rest = body.substr(p.j);
    // Breaks go on the stack first, so the input byte is tried first.
    for (const bool paragraph : {false, true}) {
      const std::string_view mark = paragraph ? kParagraph : kSentence;
      if (p.after_text && rest.substr(0, mark.size()) == mark && BreakFits(in, p.i, paragraph)) {
        todo.push_back({p.i, p.j + mark.size(), false});
      }
    }
    if (p.i < in.size() && !rest.empty() && rest[0] == in[p.i]) {
      todo.push_back({p.i + 1, p.j + 1, true});
    }
  }
  return false;
}

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// What the plain flex scanner writes for `input`, run in this process:
// from memory to memory, its state freed after each run so that the next
// starts as a new process would.
std::string FlexMarkup(std::string_view input) {
  static char nothing;
  std::FILE* in = input.empty() ? std::fopen("/dev/null", "r")
                                : fmemopen(const_cast<char*>(input.data()), input.size(), "r");
  char* written = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&written, &size);
  Check(in != nullptr && out != nullptr);
  yyin = in;
  yyout = out;
  RunFlexScanner();
  yylex_destroy();
  std::fclose(in);
  Check(std::fclose(out) == 0);
  std::string markup(written != nullptr ? written : &nothing, size);
  std::free(written);
  return markup;
}

struct Result {
  std::vector<ptseg::Boundary> boundaries;
  std::string markup;
};

// Segments `input`, fed in pieces of 1 to `piece` bytes (0: whole).
// Without `boundaries`, the markup alone, which no one watches start by
// start.
Result Segment(std::string_view input, const ptseg::Options& options, std::size_t piece,
               std::uint32_t seed, bool boundaries = true) {
  Result result;
  const auto markup = [&](std::string_view s) { result.markup.append(s); };
  ptseg::Segmenter segmenter =
      boundaries ? ptseg::Segmenter(options, markup) : ptseg::Segmenter(options, markup, nullptr);
  for (std::size_t at = 0; at < input.size();) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t n = piece == 0 ? input.size() : 1 + (seed >> 8) % piece;
    segmenter.Feed(input.substr(at, n));
    at += std::min(n, input.size() - at);
    for (const ptseg::Boundary& b : segmenter.TakeBoundaries()) result.boundaries.push_back(b);
  }
  segmenter.Finish();
  for (const ptseg::Boundary& b : segmenter.TakeBoundaries()) result.boundaries.push_back(b);
  return result;
}

// The input with the markup of `boundaries`, which must start at 0 and
// rise inside the input.
std::string Marked(std::string_view input, const std::vector<ptseg::Boundary>& boundaries) {
  Check(input.empty() ? boundaries.empty()
                      : !boundaries.empty() && boundaries[0] == ptseg::Boundary{0, true});
  std::string out(kOpen);
  for (std::size_t i = 0; i < boundaries.size(); ++i) {
    const std::uint64_t end = i + 1 < boundaries.size() ? boundaries[i + 1].offset : input.size();
    Check(boundaries[i].offset < end && end <= input.size());
    out.append(input.substr(boundaries[i].offset, end - boundaries[i].offset));
    if (i + 1 < boundaries.size()) out.append(boundaries[i + 1].paragraph ? kParagraph : kSentence);
  }
  return out.append(kClose);
}

bool IsLineSpace(char32_t c) {
  return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

void CheckOneLine(std::string_view input, ptseg::Encoding encoding) {
  std::string text;
  ptseg::AppendUtf8(input, encoding, &text);
  std::string want;
  bool space = false;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) c = c << 6 | (text[i + k] & 0x3F);
    if (IsLineSpace(c)) {
      space = !want.empty();
    } else {
      if (space) want += ' ';
      space = false;
      want.append(text, i, length);
    }
    i += length;
  }
  // Exactly the room it is promised, for the sanitizer to see past it.
  const std::unique_ptr<char[]> out(new char[3 * input.size() + 16]);
  const char* const end = ptseg::WriteOneLine(input, encoding, out.get());
  Check(std::string_view(out.get(), static_cast<std::size_t>(end - out.get())) == want);
}

void CheckJson(std::string_view input, ptseg::Encoding encoding) {
  std::string text;
  ptseg::AppendUtf8(input, encoding, &text);
  std::string want;
  ptseg::AppendJsonEscaped(text, &want);
  const std::unique_ptr<char[]> out(new char[6 * input.size()]);
  const char* const end = ptseg::WriteJsonString(input, encoding, out.get());
  Check(std::string_view(out.get(), static_cast<std::size_t>(end - out.get())) == want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return 0;
  const unsigned control = bytes[0];
  const std::string_view input(reinterpret_cast<const char*>(bytes) + 1, size - 1);
  const bool utf8 = control & 1;
  const auto encoding = utf8 ? ptseg::Encoding::kUtf8 : ptseg::Encoding::kLatin1;
  CheckOneLine(input, encoding);
  CheckJson(input, encoding);
  const Result whole = Segment(input, encoding, 0, control);
  const Result pieces = Segment(input, encoding, 1 + (control >> 1) % 17, control);
  Check(pieces.markup == whole.markup);
  Check(pieces.boundaries == whole.boundaries);
  const ptseg::Options wrapped(encoding, ptseg::Paragraphs::kBlankLines);
  const Result joined = Segment(input, wrapped, 0, control);
  const Result joined_pieces = Segment(input, wrapped, 1 + (control >> 1) % 17, control);
  Check(joined_pieces.markup == joined.markup);
  Check(joined_pieces.boundaries == joined.boundaries);
  Check(Marked(input, joined.boundaries) == joined.markup);
  // Cut into chunks of a few bytes, scanned on threads of their own and
  // joined, the input gives what one scan gives.
  ptseg::Options threaded(
      encoding, (control & 0x40) ? ptseg::Paragraphs::kBlankLines : ptseg::Paragraphs::kLines);
  threaded.threads = 2 + (control >> 7);
  threaded.chunk_size = 1 + (control >> 2) % 23;
  const Result& one = (control & 0x40) ? joined : whole;
  const Result parallel = Segment(input, threaded, 1 + (control >> 3) % 29, control);
  Check(parallel.boundaries == one.boundaries);
  Check(parallel.markup == one.markup);
  Check(Segment(input, threaded, 1 + (control >> 3) % 29, control, false).markup == one.markup);
  if (!utf8) {
    Check(whole.markup == FlexMarkup(input));
    const std::string_view body(whole.markup);
    Check(Aligns(input, body.substr(kOpen.size(), body.size() - kOpen.size() - kClose.size())));
#ifdef PTSEG_COUNT_STEPS
    Check(ptseg::CountSteps(input) <= 208 * (input.size() + 1));
#endif
    return 0;
  }
  Check(Marked(input, whole.boundaries) == whole.markup);
  // The matching copy, segmented as ISO-8859-1, has the same breaks.
  ptseg::MatchingCopy copy;
  ptseg::ByteBuffer copied;
  copy.Feed(input.data(), input.size(), &copied);
  copy.Finish(&copied);
  const std::string_view latin1 = copied.view();
  const std::vector<ptseg::Boundary> expected = ptseg::Boundaries(latin1, ptseg::Encoding::kLatin1);
  Check(expected.size() == whole.boundaries.size() || (input.size() > 0 && latin1.empty()));
  for (std::size_t i = 1; i < expected.size() && i < whole.boundaries.size(); ++i) {
    Check(expected[i].paragraph == whole.boundaries[i].paragraph);
    ptseg::MatchingCopy before;
    ptseg::ByteBuffer head;
    before.Feed(input.data(), whole.boundaries[i].offset, &head);
    before.Finish(&head);
    Check(head.size() == expected[i].offset);
  }
  return 0;
}
