#include "driver/io.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/notice.h"

namespace ptseg {

void WriteNotice() {
  std::fputs(kNotice, stderr);
  std::fputc('\n', stderr);
}

bool IsInteractive(std::FILE* in) { return isatty(fileno(in)) > 0; }

bool IsRegularFile(std::FILE* in) {
  struct stat st;
  return fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode);
}

bool HasAtHand(std::FILE* in, std::size_t size) { return HasAtHand(fileno(in), size); }

bool HasAtHand(int fd, std::size_t size) {
  // FIONREAD tells what a regular file has left in an int, which a file of
  // 2 GiB or more overflows: its size and offset tell it whole.
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    const off_t at = lseek(fd, 0, SEEK_CUR);
    return at >= 0 && st.st_size >= at && static_cast<std::uint64_t>(st.st_size - at) >= size;
  }
  int at_hand = 0;
  return ioctl(fd, FIONREAD, &at_hand) == 0 && at_hand >= 0 &&
         static_cast<std::size_t>(at_hand) >= size;
}

std::size_t ReadInput(std::FILE* in, bool interactive, char* buf, std::size_t max_size,
                      bool* failed) {
  *failed = false;
  if (interactive) {
    // A typed line is handed over as soon as its line feed arrives.
    std::size_t n = 0;
    int c = '*';
    while (n < max_size) {
      errno = 0;
      c = std::getc(in);
      if (c == EOF && std::ferror(in) && errno == EINTR) {
        std::clearerr(in);  // a signal is no read error: the line goes on
        continue;
      }
      if (c == EOF) break;
      buf[n++] = static_cast<char>(c);
      if (c == '\n') break;
    }
    if (c == EOF && std::ferror(in)) *failed = true;
    return *failed ? 0 : n;
  }
  for (;;) {
    errno = 0;
    const std::size_t n = std::fread(buf, 1, max_size, in);
    if (n > 0 && std::ferror(in) && errno == EINTR) {
      // A signal cut the read short: the error flag it left would make
      // the next empty read, at the end of the input, look like a failure.
      std::clearerr(in);
    }
    if (n > 0 || !std::ferror(in)) return n;
    if (errno != EINTR) {
      *failed = true;
      return 0;
    }
    std::clearerr(in);
  }
}

void Fatal(const char* message) {
  std::fprintf(stderr, "%s\n", message);
  std::exit(2);
}

void WriteFailed(const char* program) {
  std::string message = program;
  message += ": error writing standard output: ";
  message += std::strerror(errno);
  Fatal(message.c_str());
}

void WriteOrDie(const char* program, std::FILE* out, const char* data, std::size_t size) {
  if (size != 0 && std::fwrite(data, 1, size, out) != size) WriteFailed(program);
}

bool IsStandardOutput(const struct stat& input) {
  struct stat output;
  return S_ISREG(input.st_mode) && fstat(STDOUT_FILENO, &output) == 0 && S_ISREG(output.st_mode) &&
         input.st_dev == output.st_dev && input.st_ino == output.st_ino;
}

bool InputIsOutput(int fd) {
  struct stat input;
  return fstat(fd, &input) == 0 && IsStandardOutput(input);
}

}  // namespace ptseg
