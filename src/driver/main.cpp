// ptseg: marks sentences and paragraphs in Portuguese text.
//
// Reads ISO-8859-1 text on standard input and writes it unchanged to
// standard output with <p><s> ... </s></p> markup inserted.  Command-line
// arguments are ignored on purpose: the behaviour is fixed.
#include <cstdio>

#include "scanner/engine.h"
#include "scanner/input.h"

int RunFlexScanner();

namespace {

// One line on standard error before any output.  Its length is fixed.
constexpr char kNotice[] =
    "ptseg 1.0 - sentence and paragraph markup for Portuguese text, ISO-8859-1";
static_assert(sizeof kNotice - 1 == 73, "the notice line is 73 characters");

}  // namespace

int main(int, char**) {
  std::fputs(kNotice, stderr);
  std::fputc('\n', stderr);
#ifdef PTSEG_REFERENCE_SCANNER
  RunFlexScanner();
#else
  ptseg::Segment(stdin, stdout);
#endif
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) ptseg::WriteFailed();
  return 0;
}
