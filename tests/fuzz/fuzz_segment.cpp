// libFuzzer target over the whole engine: one run of ptseg::Segment from a
// memory stream to a memory stream, then checks on the output that hold for
// every input:
//  - it is "<p><s>" + the input with breaks inserted + "</s></p>";
//  - no sentence is empty: no break right after the opening markup, right
//    before the closing one, or right after another break (input empty
//    excepted, which gives "<p><s></s></p>");
//  - a break stands after whitespace and before a byte that is none: a
//    sentence break after one of TAB LF VT SP, a paragraph break after a
//    line feed and any blanks; the next sentence starts with no whitespace.
// The input may itself hold '<' and whole markup strings, so the output is
// not simply searched for markup: it is aligned with the input, trying at
// each point to match the next input byte or to skip one break, with
// backtracking over the (output position, input position) pairs.  Such
// pairs are few, since an ambiguity needs a literal break in the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
// and no two without input between them.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // fmemopen may refuse a size of 0: open one dummy byte and read past it.
  static char dummy[1];
  std::FILE* in = size > 0 ? fmemopen(const_cast<std::uint8_t*>(data), size, "r")
                           : fmemopen(dummy, 1, "r");
  Check(in != nullptr);
  if (size == 0) Check(std::fgetc(in) != EOF);
  char* out_data = nullptr;
  std::size_t out_size = 0;
  std::FILE* out = open_memstream(&out_data, &out_size);
  Check(out != nullptr);
  ptseg::Segment(in, out);
  std::fclose(out);
  std::fclose(in);

  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view output(out_data, out_size);
  Check(output.size() >= kOpen.size() + kClose.size());
  Check(output.substr(0, kOpen.size()) == kOpen);
  Check(output.substr(output.size() - kClose.size()) == kClose);
  const std::string_view body =
      output.substr(kOpen.size(), output.size() - kOpen.size() - kClose.size());
  Check(Aligns(input, body));
  std::free(out_data);
  return 0;
}
