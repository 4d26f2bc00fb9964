// What ptseg and its reference build share around the scanner: the notice
// line, flex's way of reading standard input, and the messages that end a
// run.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdio>

namespace ptseg {

// Writes the notice line and its line feed to standard error.
void WriteNotice();

// One read of standard input takes at most this many bytes, as the flex
// scanner's own reads do.
inline constexpr std::size_t kInputReadSize = 8192;

// Whether reads come from a terminal and so go line by line.
bool IsInteractive(std::FILE* in);

// Whether reads of `in` never wait for input: a regular file, which a read
// only ever stops short of at its end.
bool IsRegularFile(std::FILE* in);
// Whether a pipe or a socket holds `size` bytes already (a regular file of
// any size, before its last `size` bytes), so that a read of that many
// will not wait.
bool HasAtHand(std::FILE* in, std::size_t size);
bool HasAtHand(int fd, std::size_t size);

// Reads up to max_size bytes: from a terminal with getc up to and including
// a line feed, otherwise with one fread.  Returns the count, 0 at end of
// input; sets *failed (and returns 0) on a read error.  A read that a
// signal interrupts goes on, as if the signal had not come.
std::size_t ReadInput(std::FILE* in, bool interactive, char* buf, std::size_t max_size,
                      bool* failed);

// Ends the run: writes `message` and a line feed to standard error and
// exits with status 2, like the scanner's own fatal errors.  Output written
// so far is flushed on the way out.
[[noreturn]] void Fatal(const char* message);

// Ends the run after a failed write to standard output, naming the cause:
// "PROGRAM: error writing standard output: REASON".
[[noreturn]] void WriteFailed(const char* program);

// Writes all of data to `out`; a failure ends the run as WriteFailed does.
void WriteOrDie(const char* program, std::FILE* out, const char* data, std::size_t size);

// Whether an input is the regular file standard output writes to.  Such
// an input is never read: the markup goes out before the input's end is
// reached, so reading would meet the output, and go on until the disk is
// full, or overwrite what is still to be read.  This holds also for an
// empty file (as `>` leaves it) and whatever the offsets.  InputIsOutput
// asks it of an open descriptor.
bool IsStandardOutput(const struct stat& input);
bool InputIsOutput(int fd);

}  // namespace ptseg
