// Runs the text layer over standard input, for test_matching_copy.py.
//
//   matching_copy_tool [--no-blocks] [--chunks SEED] [--origins]   the
//       matching copy, or the origin of each of its bytes and of its end,
//       one per line; with --chunks the input is fed in pieces of random
//       sizes; with --no-blocks as on processors without vector blocks
//   matching_copy_tool --utf8|--as-utf8 latin1|utf8   AppendUtf8, AsUtf8
//   matching_copy_tool --xml text|attribute|chars | --json
//   matching_copy_tool --json-of latin1|utf8      WriteJsonString
//   matching_copy_tool --line-of latin1|utf8      WriteOneLine
//   matching_copy_tool --unicode-version
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ptseg/text.h"
#include "text/matching_copy.h"

namespace {

std::string ReadAll() {
  std::string data;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) data.append(buf, n);
  return data;
}

// Feeds the input whole or in pieces; with --origins, asks for the origin
// of each new matching byte after each piece and forgets what is behind,
// as the segmenter does.  In pieces, it asks from the last byte back, which
// must give the same answers.
std::string MatchingCopyOf(const std::string& data, bool chunked, std::uint32_t seed,
                           bool origins) {
  ptseg::MatchingCopy copy;
  ptseg::ByteBuffer matching;
  std::string result;
  std::vector<std::uint64_t> answers;
  std::uint64_t asked = 0;
  auto report = [&] {
    answers.resize(copy.produced() - asked);
    for (std::uint64_t i = 0; i < answers.size(); ++i) {
      const std::uint64_t m = chunked ? copy.produced() - 1 - i : asked + i;
      answers[m - asked] = copy.Origin(m);
    }
    for (std::uint64_t answer : answers) result += std::to_string(answer) + "\n";
    asked = copy.produced();
    copy.Forget(asked);
  };
  std::size_t at = 0;
  while (at < data.size()) {
    std::size_t size = data.size() - at;
    if (chunked) {
      seed = seed * 1103515245u + 12345u;  // the same pieces on every machine
      const std::uint32_t r = seed >> 8;
      size = std::min<std::size_t>(size, 1 + r % (r % 4 == 0 ? 4096 : 16));
    }
    copy.Feed(data.data() + at, size, &matching);
    at += size;
    if (origins) report();
  }
  copy.Finish(&matching);
  if (!origins) return std::string(matching.view());
  report();
  return result + std::to_string(copy.Origin(copy.produced())) + "\n";
}

}  // namespace

int main(int argc, char** argv) {
  bool chunked = false, origins = false, other = false;
  std::uint32_t seed = 0;
  std::string out;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--chunks") {
      chunked = true;
      seed = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
      ++i;
    } else if (arg == "--origins") {
      origins = true;
    } else if (arg == "--no-blocks") {
      ptseg::AllowConversionBlocks(false);
    } else if (arg == "--unicode-version") {
      std::printf("%s\n", ptseg::Latin1Map::UnicodeVersion());
      return 0;
    } else if (arg == "--utf8" || arg == "--as-utf8") {
      other = true;
      const auto encoding =
          std::strcmp(value, "latin1") == 0 ? ptseg::Encoding::kLatin1 : ptseg::Encoding::kUtf8;
      const std::string data = ReadAll();
      if (arg == "--utf8") {
        ptseg::AppendUtf8(data, encoding, &out);
      } else {
        std::string scratch;
        out = std::string(ptseg::AsUtf8(data, encoding, &scratch));
      }
      ++i;
    } else if (arg == "--xml") {
      other = true;
      const std::string data = ReadAll();
      if (std::strcmp(value, "chars") == 0) {
        ptseg::AppendXmlChars(data, &out);
      } else {
        ptseg::AppendXmlEscaped(
            data,
            std::strcmp(value, "text") == 0 ? ptseg::XmlPlace::kText : ptseg::XmlPlace::kAttribute,
            &out);
      }
      ++i;
    } else if (arg == "--json") {
      other = true;
      ptseg::AppendJsonEscaped(ReadAll(), &out);
    } else if (arg == "--json-of" || arg == "--line-of") {
      other = true;
      const std::string data = ReadAll();
      const auto encoding =
          std::strcmp(value, "latin1") == 0 ? ptseg::Encoding::kLatin1 : ptseg::Encoding::kUtf8;
      // Exactly the room each is promised.
      std::vector<char> written(arg == "--json-of" ? 6 * data.size() : 3 * data.size() + 16);
      const char* end = arg == "--json-of" ? ptseg::WriteJsonString(data, encoding, written.data())
                                           : ptseg::WriteOneLine(data, encoding, written.data());
      out.assign(written.data(), static_cast<std::size_t>(end - written.data()));
      ++i;
    } else {
      std::fprintf(stderr, "matching_copy_tool: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  if (!other) {
    out = MatchingCopyOf(ReadAll(), chunked, seed, origins);
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
