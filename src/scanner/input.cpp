#include "scanner/input.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace ptseg {

bool IsInteractive(std::FILE* in) { return isatty(fileno(in)) > 0; }

std::size_t ReadInput(std::FILE* in, bool interactive, char* buf,
                      std::size_t max_size) {
  if (interactive) {
    // A typed line is handed over as soon as its line feed arrives.
    std::size_t n = 0;
    int c = '*';
    while (n < max_size && (c = std::getc(in)) != EOF) {
      buf[n++] = static_cast<char>(c);
      if (c == '\n') break;
    }
    if (c == EOF && std::ferror(in)) Fatal("input in flex scanner failed");
    return n;
  }
  for (;;) {
    errno = 0;
    std::size_t n = std::fread(buf, 1, max_size, in);
    if (n > 0 || !std::ferror(in)) return n;
    if (errno != EINTR) Fatal("input in flex scanner failed");
    std::clearerr(in);
  }
}

void Fatal(const char* message) {
  std::fprintf(stderr, "%s\n", message);
  std::exit(2);
}

void WriteFailed() {
  std::string message = "ptseg: error writing standard output: ";
  message += std::strerror(errno);
  Fatal(message.c_str());
}

void* Grow(void* block, std::size_t new_size) {
  void* grown = std::realloc(block, new_size);
  if (grown == nullptr) Fatal("out of dynamic memory for the input buffer");
  return grown;
}

std::size_t GrownSize(std::size_t size, std::size_t needed) {
  if (needed > kMaxLookahead) {
    Fatal("input buffer overflow: one look-ahead exceeds 256 MiB");
  }
  while (size <= needed) size *= 2;
  // Doubling past the ceiling would only waste memory.
  const std::size_t cap = kMaxLookahead + kStartBufferSize;
  return size < cap ? size : cap;
}

}  // namespace ptseg
