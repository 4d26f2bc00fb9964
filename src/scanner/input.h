// Reading standard input and the limits of one look-ahead, shared by both
// scanners.
#pragma once

#include <cstddef>
#include <cstdio>

namespace ptseg {

// The input buffer starts at this size and grows (doubling) only while one
// match attempt needs more look-ahead than it holds.
inline constexpr std::size_t kStartBufferSize = 16384;
// At most this many bytes are asked for in one read.
inline constexpr std::size_t kReadSize = 8192;
// Longest look-ahead a single match attempt may need.  Past it the run
// stops with status 2 instead of exhausting memory.
inline constexpr std::size_t kMaxLookahead = std::size_t{256} << 20;

// Whether reads come from a terminal and so go line by line.
bool IsInteractive(std::FILE* in);

// Reads up to max_size bytes: from a terminal with getc up to and including
// a line feed, otherwise with one fread.  Returns the count, 0 at end of
// input; a read error is fatal.
std::size_t ReadInput(std::FILE* in, bool interactive, char* buf,
                      std::size_t max_size);

// Ends the run: writes `message` and a line feed to standard error and
// exits with status 2, like the scanner's own fatal errors.  Output written
// so far is flushed on the way out.
[[noreturn]] void Fatal(const char* message);

// Ends the run after a failed write to standard output, naming the cause.
[[noreturn]] void WriteFailed();

// Grows a buffer to new_size bytes; a failed allocation is fatal.
void* Grow(void* block, std::size_t new_size);

// The size the input buffer must have to give one more byte of room to a
// match attempt of `needed` bytes; fatal past kMaxLookahead.
std::size_t GrownSize(std::size_t size, std::size_t needed);

}  // namespace ptseg
