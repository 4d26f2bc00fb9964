// ptseg-reference: the rule file's plain flex scanner, kept to check the
// engine byte for byte.  Behaves as ptseg does.
#include <cstdio>

#include "driver/io.h"
#include "reference/flex_glue.h"

int main(int, char**) {
  ptseg::WriteNotice();
  if (ptseg::InputIsOutput(fileno(stdin))) ptseg::Fatal("ptseg: input file is output file");
  RunFlexScanner();
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) ptseg::WriteFailed("ptseg");
  return 0;
}
