// Input against the real compression commands, and Utf16Decoder.
#include "ptseg/input.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "text/utf16.h"
#include "text/utf8.h"

namespace fs = std::filesystem;
using ptseg::Compression;
using ptseg::Input;

static int failures = 0;
#define CHECK(cond)                                                        \
  do {                                                                     \
    if (!(cond)) {                                                         \
      std::cerr << __FILE__ << ":" << __LINE__ << ": failed: " #cond "\n"; \
      ++failures;                                                          \
    }                                                                      \
  } while (0)

static fs::path dir;

static std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
static void Spit(const fs::path& p, const std::string& s) {
  std::ofstream(p, std::ios::binary) << s;
}

// Appends everything Input gives to *all, in reads of changing sizes, as
// they come (so that a read that throws leaves the text before it).
static void ReadInto(Input& input, std::string* all) {
  std::vector<char> buf(70000);
  for (std::size_t size = 1;; size = size * 7 % 69997 + 1) {
    const std::size_t n = input.Read(buf.data(), size);
    if (n == 0) return;
    all->append(buf.data(), n);
  }
}
static std::string ReadAll(Input& input) {
  std::string all;
  ReadInto(input, &all);
  return all;
}
static std::string ReadFile(const fs::path& p, Input* keep = nullptr) {
  const int fd = open(p.c_str(), O_RDONLY);
  Input input(fd, p.filename().string());
  std::string all = ReadAll(input);
  close(fd);
  if (keep) *keep = std::move(input);
  return all;
}
// The error a read of p throws, or "" when there is none; *text, if
// given, gets the bytes read before it.
static std::string ErrorOf(const fs::path& p, std::string* text = nullptr) {
  const int fd = open(p.c_str(), O_RDONLY);
  Input input(fd, p.filename().string());
  std::string error, read;
  try {
    ReadInto(input, &read);
  } catch (const ptseg::InputError& e) {
    error = e.what();
  }
  close(fd);
  if (text) *text = read;
  return error;
}

static bool Has(const std::string& command) {
  return std::system(("command -v " + command + " >/dev/null 2>&1").c_str()) == 0;
}
static std::string Compress(const std::string& command, const std::string& text,
                            const std::string& name) {
  Spit(dir / "plain", text);
  const fs::path out = dir / name;
  const std::string line =
      command + " -c < '" + (dir / "plain").string() + "' > '" + out.string() + "'";
  if (std::system(line.c_str()) != 0) std::cerr << "failed: " << line << "\n", std::exit(1);
  return Slurp(out);
}

static void TestFormats(const std::string& text) {
  struct Format {
    const char* command;
    Compression compression;
  } formats[] = {{"gzip", Compression::kGzip},
                 {"xz", Compression::kXz},
                 {"bzip2", Compression::kBzip2},
                 {"zstd -q", Compression::kZstd}};
  for (const Format& f : formats) {
    const std::string name = std::string(f.command).substr(0, std::string(f.command).find(' '));
    if (!Has(name)) {
      std::cout << "skipped: " << name << " (command not found)\n";
      continue;
    }
    // Two members one after the other read as one text.
    const std::string both = Compress(f.command, text, name + ".1") +
                             Compress(f.command, "Segundo membro.\n", name + ".2");
    Spit(dir / "both", both);
    Input input(-1, "");
    CHECK(ReadFile(dir / "both", &input) == text + "Segundo membro.\n");
    CHECK(input.compression() == f.compression);
    CHECK(input.bom() == Input::Bom::kUtf8 && !input.looks_binary());
    // Cut short, anywhere, is an error naming the file.
    for (std::size_t cut : {both.size() / 3, both.size() - 1}) {
      Spit(dir / ("cut." + name), both.substr(0, cut));
      CHECK(ErrorOf(dir / ("cut." + name)).rfind("cut." + name + ": ", 0) == 0);
    }
    // Garbage after the data, short or long: the error comes after all the
    // text decompressed before it.
    for (const char* garbage : {"lixo", "lixo lixo lixo lixo"}) {
      Spit(dir / ("tail." + name), both + garbage);
      std::string got;
      CHECK(!ErrorOf(dir / ("tail." + name), &got).empty());
      CHECK(got == text + "Segundo membro.\n");
    }
    std::cout << name << ": ok\n";
  }
  if (!Has("gzip") || !Has("xz")) return;
  // A corrupt block is the library's reason; garbage after the data is an error.
  std::string xz = Compress("xz", text, "x.xz");
  xz[xz.size() / 2] ^= 0x55;
  Spit(dir / "bad.xz", xz);
  CHECK(ErrorOf(dir / "bad.xz") == "bad.xz: compressed data is corrupt");
  const std::string gz = Compress("gzip", text, "t.gz");
  Spit(dir / "cut.gz", gz.substr(0, gz.size() - 4));
  CHECK(ErrorOf(dir / "cut.gz") == "cut.gz: unexpected end of compressed data");
  Spit(dir / "tail.gz", gz + "lixo");
  CHECK(ErrorOf(dir / "tail.gz") == "tail.gz: trailing garbage after compressed data");
  Spit(dir / "zeros.gz", gz + std::string(512, '\0'));
  CHECK(ErrorOf(dir / "zeros.gz").empty());
  // Zeros pad the end only: a member after them is garbage, even where the
  // zeros fill the read before it exactly.
  for (std::size_t zeros : {std::size_t{1000}, 256 * 1024 - gz.size()}) {
    Spit(dir / "padded.gz", gz + std::string(zeros, '\0') + gz);
    std::string got;
    CHECK(ErrorOf(dir / "padded.gz", &got) == "padded.gz: trailing garbage after compressed data");
    CHECK(got == text);
  }
  // A corrupt member after a whole one.
  const std::string second = Compress("gzip", "Segundo membro.\n", "s.gz");
  Spit(dir / "bad2.gz", gz + second.substr(0, 10) + std::string(8, '\xFF'));
  std::string got;
  CHECK(!ErrorOf(dir / "bad2.gz", &got).empty() && got == text);

  // Through a pipe fed one byte at a time: signature and mark both cut.
  int fds[2];
  if (pipe(fds) != 0) std::exit(1);
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    for (char c : gz) (void)!write(fds[1], &c, 1);
    _exit(0);
  }
  close(fds[1]);
  Input piped(fds[0], "-");
  CHECK(ReadAll(piped) == text);
  CHECK(piped.compression() == Compression::kGzip && piped.bom() == Input::Bom::kUtf8);
  close(fds[0]);
  waitpid(child, nullptr, 0);
}

static void TestMarks() {
  struct Case {
    std::string bytes;
    Input::Bom bom;
    bool binary;
  } cases[] = {{"\xEF\xBB\xBFOl\xC3\xA1", Input::Bom::kUtf8, false},
               {"\xFF\xFEO\0l\0", Input::Bom::kUtf16Le, false},
               {std::string("\xFE\xFF\0O\0l", 6), Input::Bom::kUtf16Be, false},
               {std::string("PK\3\4\0\0", 6), Input::Bom::kNone, true},
               {"BZh", Input::Bom::kNone, false},  // a signature's start, then the end
               {"", Input::Bom::kNone, false}};
  for (const Case& c : cases) {
    Spit(dir / "mark", c.bytes);
    Input input(-1, "");
    CHECK(ReadFile(dir / "mark", &input) == c.bytes);  // the mark is kept
    CHECK(input.compression() == Compression::kNone);
    CHECK(input.bom() == c.bom && input.looks_binary() == c.binary);
  }
  CHECK(ErrorOf(dir).rfind(dir.filename().string() + ": ", 0) == 0);  // a folder
}

static void TestUtf16() {
  // Characters as UTF-16 units, with the code point each reads as.
  struct Char {
    std::u16string units;
    char32_t cp;
  };
  std::vector<Char> chars = {
      {u"\uFEFF", 0xFEFF},      {u"O", 'O'},         {u"\u00E1", 0xE1}, {u"\u20AC", 0x20AC},
      {u"\U0001F600", 0x1F600}, {u"\xD800", 0xFFFD}, {u"x", 'x'},       {u"\xDC00", 0xFFFD}};
  for (int i = 0; i < 300; ++i)
    for (char16_t u : std::u16string(u"a\u00E7\u00E3o ")) chars.push_back({{u}, u});
  chars.push_back({u"\xDBFF", 0xFFFD});  // a high half, then the end
  for (bool big : {false, true}) {
    std::string in, want;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> starts;  // (utf8, input)
    for (const Char& c : chars) {
      starts.push_back({want.size(), in.size()});
      char utf8[4];
      want.append(utf8, ptseg::utf8::Encode(c.cp, utf8));
      for (char16_t u : c.units) {
        const char pair[2] = {char(u & 0xFF), char(u >> 8)};
        in += big ? pair[1] : pair[0];
        in += big ? pair[0] : pair[1];
      }
    }
    starts.push_back({want.size(), in.size()});
    in += 'A';  // an odd last byte
    want += "\xEF\xBF\xBD";
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, in.size()}) {
      ptseg::Utf16Decoder decoder(big);
      std::string out;
      for (std::size_t at = 0; at < in.size(); at += piece)
        decoder.Feed(std::string_view(in).substr(at, piece), &out);
      decoder.Finish(&out);
      CHECK(out == want);
      CHECK(decoder.produced() == want.size() && decoder.consumed() == in.size());
      for (std::size_t i = 0; i < starts.size(); ++i) {
        if (decoder.Origin(starts[i].first) != starts[i].second) {
          std::cerr << "Origin(" << starts[i].first << ") wrong, piece " << piece << "\n";
          ++failures;
          break;
        }
        if (i % 50 == 0) decoder.Forget(starts[i].first);
      }
      CHECK(decoder.Origin(want.size()) == in.size());
    }
  }
}

// A member followed on a pipe by bytes that do not yet tell what comes
// next (zeros of padding, the start of a signature) is handed over at
// once, while the writer waits.
static void TestPipeAfterMember() {
  if (!Has("gzip") || !Has("bzip2")) return;
  const std::string text = "Ela saiu. Ele ficou.\n";
  const std::string gz = Compress("gzip", text, "p.gz"), bz2 = Compress("bzip2", text, "p.bz2");
  for (const std::string& bytes :
       {gz + std::string(100, '\0'), gz + "\x1F\x8B", bz2 + std::string(100, '\0')}) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(1);
    (void)!write(fds[1], bytes.data(), bytes.size());
    std::atomic<bool> got{false}, closed{false};
    std::thread writer([&] {  // closes the pipe after 5 s at most
      for (int i = 0; i < 100 && !got; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      closed = true;
      close(fds[1]);
    });
    Input input(fds[0], "-");
    std::string read;
    char buf[256];
    while (read.size() < text.size()) {
      const std::size_t n = input.Read(buf, sizeof buf);
      if (n == 0) break;
      read.append(buf, n);
    }
    CHECK(read == text && !closed);
    got = true;
    writer.join();
    close(fds[0]);
  }
}

// The call before a wait comes when a read would wait with no text, here
// for a member's trailer, and not while bytes are at hand.
static void TestBeforeWait() {
  if (!Has("gzip")) return;
  const std::string text = "Ela saiu. Ele ficou.\n";
  const std::string gz = Compress("gzip", text, "w.gz");
  int fds[2];
  if (pipe(fds) != 0) std::exit(1);
  (void)!write(fds[1], gz.data(), gz.size() - 8);
  Input input(fds[0], "-");
  int calls = 0;
  input.set_before_wait([&] {
    if (++calls > 1) return;
    (void)!write(fds[1], gz.data() + gz.size() - 8, 8);
    close(fds[1]);
  });
  std::string read;
  ReadInto(input, &read);
  CHECK(read == text && calls == 1);
  close(fds[0]);
}

// A descriptor in non-blocking mode is waited for as a blocking one is,
// not failed with EAGAIN when its bytes are slow to come.
static void TestNonBlocking() {
  int fds[2];
  if (pipe(fds) != 0 || fcntl(fds[0], F_SETFL, O_NONBLOCK) != 0) return;
  std::thread writer([&] {
    for (const char* piece : {"Ela saiu. ", "Ele ficou.\n"}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      (void)!write(fds[1], piece, std::strlen(piece));
    }
    close(fds[1]);
  });
  Input input(fds[0], "-");
  std::string read, error;
  try {
    ReadInto(input, &read);
  } catch (const ptseg::InputError& e) {
    error = e.what();
  }
  writer.join();
  CHECK(read == "Ela saiu. Ele ficou.\n" && error.empty());
  close(fds[0]);
}

// A read that a signal interrupts calls the interrupt check, which may
// stop it; the Input then refuses to read on from a place it lost.
static void TestInterrupt() {
  struct sigaction action = {};
  action.sa_handler = [](int) {};  // no SA_RESTART: the read fails with EINTR
  sigaction(SIGUSR1, &action, nullptr);
  int fds[2];
  if (pipe(fds) != 0) return;
  Input input(fds[0], "pipe");
  int calls = 0;
  input.set_interrupt_check([&calls] {
    if (++calls == 2) throw std::runtime_error("stop");
  });
  const pthread_t reader = pthread_self();
  std::atomic<bool> done{false};
  std::thread signaller([&] {
    while (!done) {
      pthread_kill(reader, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  char buf[16];
  std::string first, later;
  try {
    input.Read(buf, sizeof buf);
  } catch (const std::runtime_error& e) {
    first = e.what();
  }
  done = true;
  signaller.join();
  try {
    input.Read(buf, sizeof buf);
  } catch (const ptseg::InputError& e) {
    later = e.what();
  }
  CHECK(calls == 2 && first == "stop" && later == "pipe: an earlier read was stopped");
  close(fds[0]);
  close(fds[1]);
}

int main() {
  std::string base = (fs::temp_directory_path() / "input_test.XXXXXX").string();
  if (!mkdtemp(base.data())) return 1;
  dir = base;
  std::string text = "\xEF\xBB\xBF";
  for (int i = 0; text.size() < 300000; ++i)
    text += "A a\xC3\xA7\xC3\xA3o n\xC2\xBA " + std::to_string(i) + " terminou. Ent\xC3\xA3o?\n";
  TestFormats(text);
  TestMarks();
  TestUtf16();
  TestPipeAfterMember();
  TestBeforeWait();
  TestNonBlocking();
  TestInterrupt();
  fs::remove_all(dir);
  std::cout << (failures ? "FAILED\n" : "all passed\n");
  return failures ? 1 : 0;
}
