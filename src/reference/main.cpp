// ptseg-reference: the rule file's plain flex scanner, kept to check the
// engine byte for byte.  Behaves as ptseg does.
#include <cstdio>

#include "cli/io.h"
#include "cli/notice.h"
#include "reference/flex_glue.h"

int main(int, char**) {
  std::fputs(ptseg::kNotice, stderr);
  std::fputc('\n', stderr);
  RunFlexScanner();
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) ptseg::WriteFailed("ptseg");
  return 0;
}
