// ptseg-reference: the rule file's plain flex scanner, kept to check the
// engine byte for byte.  Behaves as ptseg does.
#include <cstdio>

#include "driver/io.h"
#include "reference/flex_glue.h"

int main(int, char**) {
  ptseg::WriteNotice();
  RunFlexScanner();
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) ptseg::WriteFailed("ptseg");
  return 0;
}
