// libFuzzer target over ptseg::Segment.  The output must be "<p><s>", the
// input with breaks inserted, "</s></p>": no empty sentence, and each break
// after whitespace (a paragraph break: a line feed and any blanks) and
// before a byte that is none; the automaton takes at most 208 transitions
// per byte.  The input may hold markup of its own, so the
// output is aligned with it, not searched.  Then the input goes behind a
// prefix no rule marks, short and long: the long one puts it across a read
// boundary, or inside a look-ahead from "Ok." across the start size of the
// buffer, and both outputs must agree past the prefix.  A hash of the input
// picks the prefix and where in the input the boundary falls.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "scanner/engine.h"

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
    if (!seen.insert(std::uint64_t{p.i} << 33 | std::uint64_t{p.j} << 1 | p.after_text)
             .second) {
      continue;
    }
    if (p.i == in.size() && p.j == body.size()) return true;
    const std::string_view rest = body.substr(p.j);
    // Breaks go on the stack first, so the input byte is tried first.
    for (const bool paragraph : {false, true}) {
      const std::string_view mark = paragraph ? kParagraph : kSentence;
      if (p.after_text && rest.substr(0, mark.size()) == mark &&
          BreakFits(in, p.i, paragraph)) {
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

std::string Segment(std::string_view input) {
  // fmemopen may refuse a size of 0: open one dummy byte and read past it.
  static char dummy[1];
  std::FILE* in = input.empty() ? fmemopen(dummy, 1, "r")
                                : fmemopen(const_cast<char*>(input.data()), input.size(), "r");
  Check(in != nullptr);
  if (input.empty()) Check(std::fgetc(in) != EOF);
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&data, &size);
  Check(out != nullptr);
#ifdef PTSEG_COUNT_STEPS
  // The linear bound of the engine, as tests/engine/step_bound.cpp checks it.
  Check(ptseg::SegmentCountingSteps(in, out) <= 208 * (input.size() + 1));
#else
  ptseg::Segment(in, out);
#endif
  std::fclose(out);
  std::fclose(in);
  std::string output(data, size);
  std::free(data);
  return output;
}

// n >= 4 bytes of small letters, blanks and commas, ending in " xyz".
std::string Pad(std::size_t n) {
  static const std::string_view unit = "abc def, ghij klmno pqr, stuv ";
  std::string pad;
  while (pad.size() < n - 4) pad += unit;
  pad.resize(n - 4);
  return pad + " xyz";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(bytes), size);
  const std::string output = Segment(input);
  Check(output.size() >= kOpen.size() + kClose.size());
  Check(output.substr(0, kOpen.size()) == kOpen);
  Check(output.substr(output.size() - kClose.size()) == kClose);
  Check(Aligns(input, std::string_view(output).substr(
                          kOpen.size(), output.size() - kOpen.size() - kClose.size())));

  std::uint32_t hash = 2166136261u;
  for (const char c : input) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  const std::size_t into = hash % (size + 1);  // where the boundary falls
  const bool utterance = hash & 1u << 31;
  // "<pad>\n<input>" or "Ok. Abc<pad> <input>", and the output up to the pad.
  const std::string head = utterance ? "Ok. Abc" : "";
  const std::string head_out =
      utterance ? std::string(kOpen) + "Ok. " + std::string(kSentence) + "Abc" : std::string(kOpen);
  const char join = utterance ? ' ' : '\n';
  const std::size_t boundary = utterance || (hash & 1u << 30) ? 16384 : 8192;
  const std::size_t pad_size = boundary - head.size() - 1 - into;
  const std::string short_out = Segment(head + Pad(8) + join + std::string(input));
  const std::string long_out = Segment(head + Pad(pad_size) + join + std::string(input));
  const std::size_t rest = head_out.size() + 8;
  Check(short_out.compare(0, rest, head_out + Pad(8)) == 0);
  Check(long_out.compare(0, head_out.size(), head_out) == 0);
  Check(long_out.compare(head_out.size(), pad_size, Pad(pad_size)) == 0);
  Check(long_out.compare(head_out.size() + pad_size, std::string::npos, short_out, rest,
                         std::string::npos) == 0);
  return 0;
}
