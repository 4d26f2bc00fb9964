// read_test: a signal that interrupts a read of standard input, with a
// handler installed without SA_RESTART, is no read error: the text before
// and after it comes through whole and the end of input is a clean end,
// in chunks from a pipe and line by line as from a terminal.  A file of
// more than 2 GiB has its bytes at hand.
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "driver/io.h"

namespace {

void Ignore(int) {}

// Reads all of a writer's "abc", then, after a signal that comes while
// the writer pauses, "def\n".  Returns what was read, "FAILED" after a
// read error.
std::string ReadAll(bool interactive) {
  int fds[2];
  if (pipe(fds) != 0) return "no pipe";
  const pid_t writer = fork();
  if (writer == 0) {
    close(fds[0]);
    if (write(fds[1], "abc", 3) != 3) _exit(1);
    usleep(300000);
    _exit(write(fds[1], "def\n", 4) == 4 ? 0 : 1);
  }
  close(fds[1]);
  std::FILE* in = fdopen(fds[0], "rb");
  // The signal comes once the first bytes are there to read.
  char first;
  if (read(fds[0], &first, 1) != 1 || ungetc(first, in) == EOF) return "no first byte";
  const struct itimerval once = {{0, 0}, {0, 50000}};
  setitimer(ITIMER_REAL, &once, nullptr);
  std::string got;
  char buf[ptseg::kInputReadSize];
  for (;;) {
    bool failed = false;
    const std::size_t n = ptseg::ReadInput(in, interactive, buf, sizeof buf, &failed);
    if (failed) {
      got = "FAILED";
      break;
    }
    if (n == 0) break;
    got.append(buf, n);
  }
  std::fclose(in);
  waitpid(writer, nullptr, 0);
  return got;
}

}  // namespace

int main() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = Ignore;
  sigaction(SIGALRM, &action, nullptr);
  int failures = 0;
  for (const bool interactive : {false, true}) {
    const std::string got = ReadAll(interactive);
    const char* name = interactive ? "line by line" : "in chunks";
    if (got == "abcdef\n") {
      std::printf("ok   a signal during a read, %s\n", name);
    } else {
      std::printf("FAIL a signal during a read, %s: got \"%s\"\n", name, got.c_str());
      ++failures;
    }
  }
  // A regular file of more than 2 GiB (sparse: no disk is used) has its
  // bytes at hand, as a smaller one has, however far the read has come.
  std::FILE* big = std::tmpfile();
  const off_t size = (off_t{3} << 30) + 100;
  const bool at_hand = big != nullptr && ftruncate(fileno(big), size) == 0 &&
                       ptseg::HasAtHand(big, 1 << 16) &&
                       lseek(fileno(big), size - 99, SEEK_SET) >= 0 && ptseg::HasAtHand(big, 99) &&
                       !ptseg::HasAtHand(big, 100);
  std::printf("%s a file of 3 GiB has its bytes at hand\n", at_hand ? "ok  " : "FAIL");
  if (!at_hand) ++failures;
  if (big != nullptr) std::fclose(big);
  return failures == 0 ? 0 : 1;
}
