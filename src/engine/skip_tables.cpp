// ptseg-skip-tables OUTPUT: derives from the rule automaton what the
// engine skips by (see engine/skip.h) and writes it to OUTPUT as C++
// tables.  Fails, and with it the build, when the rules leave running text
// no short stretch before every match.
#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/automaton.h"
#include "engine/rule_actions.h"
#include "engine/skip.h"

namespace {

// Writes `values` as the initialiser of a C++ array.
template <class T>
void PutList(std::FILE* out, const T* values, std::size_t n) {
  std::fputs("{", out);
  for (std::size_t i = 0; i < n; ++i) {
    std::fprintf(out, "%s%lu", i % 16 == 0 ? "\n    " : " ", static_cast<unsigned long>(values[i]));
    if (i + 1 < n) std::fputs(",", out);
  }
  std::fputs("}", out);
}

// The start pairs by byte: for each trigger class with a lead-in, one row
// per distance from 1 on, giving each first byte its set of second bytes
// (0: none; the sets are numbered from 1 as they come).
struct StartTables {
  using ByteSet = std::array<std::uint64_t, 4>;  // bit b % 64 of word b / 64
  // Row 0 is for bytes without a lead-in, set 0 the empty one.
  std::vector<std::array<std::uint8_t, 256>> rows = std::vector<std::array<std::uint8_t, 256>>(1);
  std::vector<ByteSet> sets = std::vector<ByteSet>(1);
  std::vector<unsigned long> row_of_class;

  // False when the pairs need more sets than a byte numbers.
  bool Make(const ptseg::Automaton& a, const ptseg::skip::StartPairs& pairs) {
    std::map<ByteSet, std::uint8_t> numbers;
    row_of_class.assign(static_cast<std::size_t>(a.class_count), 0);
    for (std::size_t t = 1; t < pairs.size(); ++t) {
      if (pairs[t].size() < 2) continue;
      row_of_class[t] = rows.size();
      for (std::size_t d = 1; d < pairs[t].size(); ++d) {
        std::array<std::uint8_t, 256> row{};
        for (int first = 0; first < 256; ++first) {
          ByteSet second{};
          for (int b = 0; b < 256; ++b) {
            const std::size_t pair = static_cast<std::size_t>(a.byte_class[first]) *
                                         static_cast<std::size_t>(a.class_count) +
                                     a.byte_class[b];
            if (pairs[t][d][pair]) second[b / 64] |= std::uint64_t{1} << (b % 64);
          }
          if (second == ByteSet{}) continue;
          auto known = numbers.find(second);
          if (known == numbers.end()) {
            if (sets.size() == 256) return false;
            known = numbers.emplace(second, static_cast<std::uint8_t>(sets.size())).first;
            sets.push_back(second);
          }
          row[static_cast<std::size_t>(first)] = known->second;
        }
        rows.push_back(row);
      }
    }
    return true;
  }

  // Writes kLeadInRow, kFirstBytes and kSecondBytes.
  void Put(std::FILE* out, const ptseg::Automaton& a) const {
    std::vector<unsigned long> row_of(256);
    for (int b = 0; b < 256; ++b)
      row_of[static_cast<std::size_t>(b)] = row_of_class[a.byte_class[b]];
    std::fputs(
        "// By byte: for a trigger byte with a lead-in, the row of kFirstBytes for\n"
        "// distance 1 (those for 2 to its lead-in follow it); else 0.\n",
        out);
    std::fputs("constexpr std::uint16_t kLeadInRow[256] = ", out);
    PutList(out, row_of.data(), 256);
    std::fprintf(out,
                 ";\n// By row and first byte: the set of second bytes in kSecondBytes.\n"
                 "constexpr std::uint8_t kFirstBytes[%zu][256] = {",
                 rows.size());
    for (const auto& row : rows) {
      PutList(out, row.data(), row.size());
      std::fputs(",", out);
    }
    std::fprintf(out,
                 "};\n// Sets of bytes, bit b %% 64 of word b / 64 for byte b.\n"
                 "constexpr std::uint64_t kSecondBytes[%zu][4] = {",
                 sets.size());
    for (const ByteSet& set : sets) {
      std::fprintf(out, "\n    {0x%llx, 0x%llx, 0x%llx, 0x%llx},",
                   static_cast<unsigned long long>(set[0]), static_cast<unsigned long long>(set[1]),
                   static_cast<unsigned long long>(set[2]),
                   static_cast<unsigned long long>(set[3]));
    }
    std::fputs("};\n", out);
  }
};

}  // namespace

int main(int argc, char** argv) {
  using ptseg::Automaton;
  if (argc != 2) {
    std::fprintf(stderr, "usage: ptseg-skip-tables OUTPUT\n");
    return 2;
  }
  const Automaton& a = ptseg::RuleAutomaton();
  std::vector<int> distance;
  const std::vector<bool> triggers = ptseg::skip::FindTriggers(
      a, Automaton::StartState(a.text_condition, false), ptseg::rules::kCopyByteRule, &distance);
  if (triggers.empty()) {
    std::fprintf(stderr,
                 "ptseg-skip-tables: in running text, no set of at most %d bytes comes within %d "
                 "bytes of the start of every match but the copy of one byte: the engine cannot "
                 "skip copies with these rules\n",
                 ptseg::skip::kMaxBytes, ptseg::skip::kMaxDistance);
    return 1;
  }
  const ptseg::skip::StartPairs pairs =
      ptseg::skip::FindStartPairs(a, Automaton::StartState(a.text_condition, false),
                                  ptseg::rules::kCopyByteRule, triggers, distance);
  if (pairs.empty()) {
    std::fprintf(stderr, "ptseg-skip-tables: a match starts further before a trigger than found\n");
    return 1;
  }
  StartTables starts;
  if (!starts.Make(a, pairs)) {
    std::fprintf(stderr, "ptseg-skip-tables: more than 255 sets of second bytes\n");
    return 1;
  }
  std::vector<std::uint8_t> run_of;
  const std::vector<ptseg::skip::Run> runs = ptseg::skip::FindRuns(a, &run_of);

  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fputs("// Generated by ptseg-skip-tables from the rule automaton; do not edit.\n", out);
  int lead_in[256];
  for (int b = 0; b < 256; ++b)
    lead_in[b] = triggers[a.byte_class[b]] ? distance[a.byte_class[b]] : 255;
  std::fputs("// By byte: the lead-in of a trigger byte, 255 for other bytes.\n", out);
  std::fputs("constexpr std::uint8_t kTriggerLeadIn[256] = ", out);
  PutList(out, lead_in, 256);
  std::fputs(";\n", out);
  starts.Put(out, a);
  std::fprintf(out, "constexpr std::size_t kSkipStates = %zu;\n", run_of.size());
  std::fputs("// By state: 1 + the index of its run, or 0.\n", out);
  std::fputs("constexpr std::uint8_t kRunOf[kSkipStates] = ", out);
  PutList(out, run_of.data(), run_of.size());
  std::fprintf(out, ";\nconstexpr int kSkipClasses = %d;\n", a.class_count);
  std::fprintf(out, "constexpr std::size_t kRunCount = %zu;\n", runs.size());
  std::fputs("constexpr SkipRun kRuns[kRunCount + 1] = {\n", out);
  for (const ptseg::skip::Run& run : runs) {
    std::fprintf(out, "  {%zu, ", run.stops.size());
    PutList(out, run.stops.data(), run.stops.size());
    std::fputs(",\n   ", out);
    PutList(out, run.after.data(), run.after.size());
    std::fputs("},\n", out);
  }
  std::fputs("  {}};  // none but this one when there are no runs\n", out);
  if (std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
