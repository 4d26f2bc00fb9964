// sinks_test: a Segmenter with both sinks, on several threads, hands on
// each start when the markup up to it has been written and no sooner, as
// one thread does, and never after decided() has passed it; the markup and
// the starts are one thread's too.  With the markup alone (its pieces
// gathered), the markup is the same after every Feed, and no start is
// kept.  What a Feed decides does not depend on how the bytes before it
// were cut.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "ptseg/ptseg.h"

namespace {

// What the sinks saw: the markup, and its length at each start; and
// whether a start came below what decided() had said before it.
struct Seen {
  std::string markup;
  std::vector<std::string> starts;
  bool late = false;
  bool operator==(const Seen& other) const {
    return markup == other.markup && starts == other.starts && !late && !other.late;
  }
};

Seen Run(const std::string& text, unsigned threads, std::size_t chunk_size, std::size_t piece) {
  ptseg::Options options(ptseg::Encoding::kUtf8);
  options.threads = threads;
  options.chunk_size = chunk_size;
  Seen seen;
  const ptseg::Segmenter* self = nullptr;
  std::uint64_t decided = 0;
  ptseg::Segmenter segmenter(
      options, [&](std::string_view bytes) { seen.markup.append(bytes); },
      [&](const ptseg::Boundary& start) {
        seen.starts.push_back(std::to_string(start.offset) + (start.paragraph ? "p@" : "@") +
                              std::to_string(seen.markup.size()));
        if (start.offset < decided) seen.late = true;
        decided = std::max(decided, self->decided());
      });
  self = &segmenter;
  for (std::size_t at = 0; at < text.size(); at += piece) segmenter.Feed(text.substr(at, piece));
  segmenter.Finish();
  return seen;
}

// The markup of a Segmenter asked for the markup alone, as it stood after
// each Feed and in the end, checked to keep no start.
std::vector<std::string> MarkupAlone(const std::string& text, std::size_t piece,
                                     bool both_sinks = false) {
  std::vector<std::string> markup(1);
  ptseg::Segmenter::BoundarySink ignore;
  if (both_sinks) ignore = [](const ptseg::Boundary&) {};
  ptseg::Segmenter segmenter(
      ptseg::Encoding::kUtf8, [&](std::string_view bytes) { markup.back().append(bytes); }, ignore);
  for (std::size_t at = 0; at < text.size(); at += piece) {
    segmenter.Feed(text.substr(at, piece));
    markup.push_back(markup.back());
  }
  segmenter.Finish();
  if (!segmenter.TakeBoundaries().empty()) markup.emplace_back("starts kept");
  return markup;
}

// The markup written once `text` is fed in pieces `sizes` (the rest in
// one), on one thread or, flushed, on two in chunks of `chunk` bytes.
std::string MarkupFed(std::string_view text, std::vector<std::size_t> sizes,
                      std::size_t chunk = 0) {
  ptseg::Options options(ptseg::Encoding::kUtf8);
  options.threads = chunk != 0 ? 2 : 1;
  options.chunk_size = chunk;
  std::string markup;
  ptseg::Segmenter segmenter(options, [&](std::string_view bytes) { markup.append(bytes); });
  sizes.push_back(text.size());
  for (std::size_t n : sizes) {
    segmenter.Feed(text.substr(0, n));
    text.remove_prefix(std::min(n, text.size()));
  }
  segmenter.Flush();
  return markup;
}

}  // namespace

int main() {
  const char* const words[] = {"Ele foi. ", "Sim. ",        "- Vou, disse. ", "Casa\n",
                               "\n",        ": 1) A ",      "Ol\xc3\xa1 ",    "e ",
                               "Fim! ",     "\xe2\x80\x94 "};
  std::mt19937 rng(7);
  int failures = 0;
  for (int i = 0; i < 200; ++i) {
    std::string text;
    const int length = 1 + static_cast<int>(rng() % 60);
    for (int w = 0; w < length; ++w) text += words[rng() % (sizeof words / sizeof *words)];
    const Seen want = Run(text, 1, 0, text.size());
    const std::size_t chunk = 1 + rng() % 40;
    const unsigned threads = 2 + static_cast<unsigned>(rng() % 2);
    if (!(Run(text, threads, chunk, 1 + rng() % 50) == want)) {
      std::printf("FAIL text %d: %u threads, chunks of %zu bytes\n", i, threads, chunk);
      ++failures;
    }
    // Gathered, the markup still holds all a Feed decided when it returns.
    const std::size_t piece = 1 + rng() % 50;
    const std::vector<std::string> alone = MarkupAlone(text, piece);
    if (alone != MarkupAlone(text, piece, true) || alone.back() != want.markup) {
      std::printf("FAIL text %d: the markup alone, in pieces of %zu bytes\n", i, piece);
      ++failures;
    }
  }
  // A piece that ends inside a character decides the character before
  // it, whose cluster that character's first byte ends, however the
  // bytes before came.
  for (const std::string_view text : {"\xc3\xa9\xc2", "\xbd\xc2", "Ol\xc3\xa1 \xc3\xa7\xc3"}) {
    const std::string want = MarkupFed(text, {});
    if (MarkupFed(text, {1, 1, 1, 1, 1, 1, 1, 1}) != want || MarkupFed(text, {}, 1) != want ||
        MarkupFed(text, {text.size() - 2, 1}) != want) {
      std::printf("FAIL: what a Feed of %zu bytes decides, in pieces\n", text.size());
      ++failures;
    }
  }
  std::printf("%s\n", failures == 0 ? "ok   both sinks, several threads" : "FAILED");
  return failures == 0 ? 0 : 1;
}
