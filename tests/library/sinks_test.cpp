// sinks_test: a Segmenter with both sinks, on several threads, hands on
// each start when the markup up to it has been written and no sooner, as
// one thread does, and never after decided() has passed it; the markup and
// the starts are one thread's too.  With the markup alone (its pieces
// gathered), the markup is the same after every Feed, and no start is
// kept.  What a Feed decides does not depend on how the bytes before it
// were cut.  A sink that throws stops the Segmenter: what it had is what
// one thread writes, and every later call is refused.  A sink that feeds
// its own Segmenter is refused, the stream unharmed.  Bytes written in
// place (Space, Commit) are segmented as those fed, and only those.  The
// starts kept for TakeBoundaries are one thread's.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
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

Seen Run(const std::string& text, unsigned threads, std::size_t chunk_size, std::size_t piece,
         bool in_place = false) {
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
  for (std::size_t at = 0, n = 0; at < text.size(); at += n) {
    n = std::min(piece, text.size() - at);
    if (!in_place) {
      segmenter.Feed(text.substr(at, n));
      continue;
    }
    std::size_t room = 0;
    char* const space = segmenter.Space(n, &room);
    n = std::min(n, room);
    std::memcpy(space, text.data() + at, n);
    segmenter.Commit(n);
  }
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

// Whether a sink that throws on its `nth` call, the markup's (gathered)
// or the starts', leaves the Segmenter failed, refusing Feed, Flush and
// Finish, after the markup and the starts it had were a beginning of
// `want`'s, each once.
bool StopsAtThrow(const std::string& text, const Seen& want, unsigned threads, int nth,
                  bool in_markup) {
  ptseg::Options options(ptseg::Encoding::kUtf8);
  options.threads = threads;
  options.chunk_size = 7;
  Seen seen;
  int calls = 0;
  auto call = [&](bool markup) {
    if (markup == in_markup && ++calls == nth) throw std::runtime_error("sink");
  };
  ptseg::Segmenter::BoundarySink starts;  // none: the markup is gathered
  if (!in_markup) {
    starts = [&](const ptseg::Boundary& start) {
      call(false);
      seen.starts.push_back(std::to_string(start.offset) + (start.paragraph ? "p@" : "@") +
                            std::to_string(seen.markup.size()));
    };
  }
  ptseg::Segmenter segmenter(
      options,
      [&](std::string_view bytes) {
        call(true);
        seen.markup.append(bytes);
      },
      starts);
  bool passed_on = false;
  try {
    for (std::size_t at = 0; at < text.size(); at += 5) segmenter.Feed(text.substr(at, 5));
    segmenter.Finish();
  } catch (const std::runtime_error& error) {
    passed_on = std::string(error.what()) == "sink";
  }
  int refused = 0;
  for (int k = 0; k < 3; ++k) {
    try {
      if (k == 0) segmenter.Feed("A");
      if (k == 1) segmenter.Flush();
      if (k == 2) segmenter.Finish();
    } catch (const std::logic_error&) {
      ++refused;
    }
  }
  return passed_on && segmenter.failed() && refused == 3 &&
         want.markup.compare(0, seen.markup.size(), seen.markup) == 0 &&
         seen.starts.size() <= want.starts.size() &&
         std::equal(seen.starts.begin(), seen.starts.end(), want.starts.begin());
}

// Whether the markup is `want`'s when the starts' sink tries to feed,
// flush and finish its own Segmenter, and is refused each time.
bool RefusesOwnSink(const std::string& text, const Seen& want, unsigned threads) {
  ptseg::Options options(ptseg::Encoding::kUtf8);
  options.threads = threads;
  options.chunk_size = 7;
  std::string markup;
  ptseg::Segmenter* self = nullptr;
  int calls = 0, refused = 0;
  ptseg::Segmenter segmenter(
      options, [&](std::string_view bytes) { markup.append(bytes); },
      [&](const ptseg::Boundary&) {
        try {
          const int call = calls++ % 3;
          if (call == 0) self->Feed("Sim. ");
          if (call == 1) self->Flush();
          if (call == 2) self->Finish();
        } catch (const std::logic_error&) {
          ++refused;
        }
      });
  self = &segmenter;
  try {
    for (std::size_t at = 0; at < text.size(); at += 5) segmenter.Feed(text.substr(at, 5));
    segmenter.Finish();
  } catch (const std::logic_error&) {
    return false;
  }
  return markup == want.markup && refused == calls && !segmenter.failed();
}

// Whether Commit takes only bytes written to the room of the Space just
// before it: a Commit(0) with no Space does nothing, and one of more than
// the room, or after a Flush that may have handed the room on, is refused.
bool CommitsOnlyItsRoom(unsigned threads) {
  ptseg::Options options(ptseg::Encoding::kUtf8);
  options.threads = threads;
  options.chunk_size = 8;
  std::string markup;
  const auto refused = [&](bool flush, std::size_t more) {
    ptseg::Segmenter segmenter(options, [&](std::string_view bytes) { markup.append(bytes); });
    segmenter.Feed("Ele foi. ");
    std::size_t room = 0;
    std::memset(segmenter.Space(3, &room), 'a', room);
    if (flush) segmenter.Flush();
    try {
      segmenter.Commit(room + more);
    } catch (const std::logic_error&) {
      return true;
    }
    return false;
  };
  if (!refused(true, 0) || !refused(false, 1)) return false;
  markup.clear();
  ptseg::Segmenter segmenter(options, [&](std::string_view bytes) { markup.append(bytes); });
  segmenter.Commit(0);
  segmenter.Feed("Sim. ");
  segmenter.Finish();
  return markup == "<p><s>Sim. </s></p>";
}

// The starts a Segmenter with no sink for them keeps, taken after each
// Feed, and its markup, if asked for; on `threads` threads in chunks of
// `chunk` bytes.
std::pair<std::string, std::string> Kept(const std::string& text, unsigned threads,
                                         std::size_t chunk, bool with_markup) {
  ptseg::Options options(ptseg::Encoding::kUtf8);
  options.threads = threads;
  options.chunk_size = chunk;
  std::string starts;
  std::string markup;
  ptseg::Segmenter segmenter =
      with_markup ? ptseg::Segmenter(options, [&](std::string_view bytes) { markup.append(bytes); })
                  : ptseg::Segmenter(options);
  const auto take = [&] {
    for (const ptseg::Boundary& start : segmenter.TakeBoundaries()) {
      starts += std::to_string(start.offset) + (start.paragraph ? "p " : " ");
    }
  };
  for (std::size_t at = 0; at < text.size(); at += 7) {
    segmenter.Feed(text.substr(at, 7));
    take();
  }
  segmenter.Finish();
  take();
  return {starts, markup};
}

// The starts a Segmenter with no sink for them keeps when its markup
// sink throws on its `nth` call, on `threads` threads in chunks of
// `chunk` bytes: the markup is gathered, so a text of over 64 KiB fills
// it in the middle of a Feed.
std::string KeptAtThrow(const std::string& text, unsigned threads, std::size_t chunk, int nth) {
  ptseg::Options options(ptseg::Encoding::kUtf8);
  options.threads = threads;
  options.chunk_size = chunk;
  int calls = 0;
  ptseg::Segmenter segmenter(options, [&](std::string_view) {
    if (++calls == nth) throw std::runtime_error("sink");
  });
  try {
    segmenter.Feed(text);
    segmenter.Finish();
  } catch (const std::runtime_error&) {
  }
  std::string starts;
  for (const ptseg::Boundary& start : segmenter.TakeBoundaries()) {
    starts += std::to_string(start.offset) + (start.paragraph ? "p " : " ");
  }
  return starts;
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
    const bool in_place = i % 2 == 1;
    const unsigned threads = i % 4 == 1 ? 1 : 2 + static_cast<unsigned>(rng() % 2);
    if (!(Run(text, threads, chunk, 1 + rng() % 50, in_place) == want)) {
      std::printf("FAIL text %d: %u threads, chunks of %zu bytes%s\n", i, threads, chunk,
                  in_place ? ", written in place" : "");
      ++failures;
    }
    // Starts kept for TakeBoundaries, with the markup or without it.
    const bool with_markup = i % 3 == 0;
    if (Kept(text, threads, chunk, with_markup) != Kept(text, 1, 0, with_markup)) {
      std::printf("FAIL text %d: the starts kept, %u threads, chunks of %zu bytes%s\n", i, threads,
                  chunk, with_markup ? ", with the markup" : "");
      ++failures;
    }
    // Gathered, the markup still holds all a Feed decided when it returns.
    const std::size_t piece = 1 + rng() % 50;
    const std::vector<std::string> alone = MarkupAlone(text, piece);
    if (alone != MarkupAlone(text, piece, true) || alone.back() != want.markup) {
      std::printf("FAIL text %d: the markup alone, in pieces of %zu bytes\n", i, piece);
      ++failures;
    }
    if (i % 10 == 0 && want.starts.size() > 3) {
      // Gathered, the markup has a second call at least: the closing one.
      const bool in_markup = i % 20 == 0;
      const int nth = in_markup ? 2 : 2 + static_cast<int>(rng() % (want.starts.size() - 1));
      if (!StopsAtThrow(text, want, 1, nth, in_markup) ||
          !StopsAtThrow(text, want, 2, nth, in_markup)) {
        std::printf("FAIL text %d: a sink that throws on its call %d\n", i, nth);
        ++failures;
      }
      if (!RefusesOwnSink(text, want, 1) || !RefusesOwnSink(text, want, 2)) {
        std::printf("FAIL text %d: a sink that feeds its own Segmenter\n", i);
        ++failures;
      }
    }
  }
  {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += i % 7 != 0 ? "Ele foi. " : "Casa\n";
    for (int nth = 2; nth <= 3; ++nth) {
      const std::string want = KeptAtThrow(text, 1, 0, nth);
      for (unsigned threads = 2; threads <= 3; ++threads) {
        if (KeptAtThrow(text, threads, 4096, nth) != want) {
          std::printf(
              "FAIL: the starts kept when the markup sink throws on its call %d, %u threads\n", nth,
              threads);
          ++failures;
        }
      }
    }
  }
  if (!CommitsOnlyItsRoom(1) || !CommitsOnlyItsRoom(2)) {
    std::printf("FAIL: a Commit past the room that Space gave\n");
    ++failures;
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
