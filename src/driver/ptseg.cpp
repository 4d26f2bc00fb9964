// ptseg: marks sentences and paragraphs in Portuguese text.
//
// Reads ISO-8859-1 text on standard input and writes it unchanged to
// standard output with <p><s> ... </s></p> markup inserted.  Command-line
// arguments are ignored on purpose: the behaviour is fixed (ptsplit is the
// command with options).
#include "ptseg/ptseg.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "driver/io.h"

namespace {

constexpr char kProgram[] = "ptseg";

// Standard output, gathered into large writes: pieces come a sentence at a
// time.
char output[1 << 16];
std::size_t output_size = 0;

void Flush() {
  ptseg::WriteOrDie(kProgram, stdout, output, output_size);
  output_size = 0;
  if (std::fflush(stdout) != 0) ptseg::WriteFailed(kProgram);
}

void Write(std::string_view piece) {
  if (piece.size() > sizeof output - output_size) {
    Flush();
    if (piece.size() >= sizeof output) {
      ptseg::WriteOrDie(kProgram, stdout, piece.data(), piece.size());
      return;
    }
  }
  std::memcpy(output + output_size, piece.data(), piece.size());
  output_size += piece.size();
}

}  // namespace

int main(int, char**) {
  ptseg::WriteNotice();
  if (ptseg::InputIsOutput(fileno(stdin))) ptseg::Fatal("ptseg: input file is output file");
  const bool interactive = ptseg::IsInteractive(stdin);
  const bool from_file = ptseg::IsRegularFile(stdin);
  try {
    // The markup is all ptseg needs.
    ptseg::Segmenter segmenter(ptseg::Encoding::kLatin1, Write, nullptr);
    static char input[ptseg::kInputReadSize];
    for (;;) {
      // Everything decided goes out before a read that may wait, so that a
      // typed line gets its answer and a pipe's reader has all that is
      // decided while ptseg waits.  A read of a pipe waits for a whole
      // read's bytes or the end, as the flex scanner's does, so text that
      // trickles in comes out a read at a time.  A file is read on, and
      // written in large pieces.
      if (interactive || (!from_file && !ptseg::HasAtHand(stdin, sizeof input))) Flush();
      bool failed = false;
      const std::size_t n = ptseg::ReadInput(stdin, interactive, input, sizeof input, &failed);
      if (failed) {
        Flush();  // a read error keeps the output so far
        ptseg::Fatal("input in flex scanner failed");
      }
      if (n == 0) break;
      segmenter.Feed(std::string_view(input, n));
    }
    segmenter.Finish();
  } catch (const ptseg::Error& error) {
    Flush();
    ptseg::Fatal(error.what());
  } catch (const std::bad_alloc&) {
    Flush();
    ptseg::Fatal("out of dynamic memory for the input buffer");
  }
  Flush();
  if (std::ferror(stdout)) ptseg::WriteFailed(kProgram);
  return 0;
}
