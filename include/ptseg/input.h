// ptseg/input.h: the bytes of one input, decompressed when they are
// compressed.
//
//   ptseg::Input input(fd, "corpus/a.txt.gz");
//   char buf[65536];
//   while (std::size_t n = input.Read(buf, sizeof buf)) ...   // text bytes
//
// gzip, xz, bzip2 and zstd data are recognised by their first bytes, never
// by the file name, and decompressed as they stream in; several members,
// streams or frames one after the other read as one text.  Anything else
// is passed through as it is.  Memory stays bounded whatever the size of
// the input (the formats' own windows aside: zstd frames that need more
// than 128 MiB of window are refused).
//
// The first Read does not wait for more than the input gives at once, so
// a terminal or a pipe is answered as soon as its first bytes arrive
// (compressed, as soon as they decode to some text: bzip2 and zstd decode
// a block at a time); it only reads on while the bytes so far could still
// be the start of a compressed format's signature or of a byte-order mark.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace ptseg {

enum class Compression { kNone, kGzip, kXz, kBzip2, kZstd };

// An input that could not be read, or whose compressed data is corrupt or
// cut short.  what() is "NAME: REASON", NAME as given to Input.
class InputError : public std::runtime_error {
 public:
  InputError(const std::string& name, const std::string& reason)
      : std::runtime_error(name + ": " + reason), reason_(reason) {}
  // REASON alone.
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
};

class Input {
 public:
  // What the decompressed text starts with.
  enum class Bom { kNone, kUtf8, kUtf16Le, kUtf16Be };

  // Reads from `fd`, which the Input never closes; `name` is only used in
  // messages (a file name, or "-" for standard input).  Nothing is read
  // before the first Read.  A moved-from Input may only be assigned to or
  // destroyed.
  Input(int fd, std::string name);
  ~Input();
  Input(Input&&) noexcept;
  Input& operator=(Input&&) noexcept;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // Copies up to `size` bytes of the (decompressed) stream to `buf` and
  // returns how many: at least 1 while the stream goes on, 0 at its end
  // (and for size 0).  Blocks only when nothing is at hand yet, and so
  // waits for an `fd` in non-blocking mode too.  Throws InputError for a
  // read error (REASON is strerror's), corrupt data (the decompressor's
  // reason) and compressed data cut short ("unexpected end of compressed
  // data"); every byte decompressed before the failure is returned first,
  // and once it has thrown, every later Read throws the same error.
  // Interrupted reads (EINTR) are retried.
  std::size_t Read(char* buf, std::size_t size);

  // `check` is called each time a read of `fd` is interrupted by a signal
  // (EINTR), before it is retried, so that a caller that handles signals
  // itself can act on one while the input is slow to come: it may throw,
  // and Read then throws that.  After such a throw, or any other exception
  // but an InputError, the Input's place in the stream is lost: every
  // later Read throws InputError with REASON "an earlier read was stopped".
  void set_interrupt_check(std::function<void()> check);

  // `call` is called when Read is about to wait for `fd` with nothing to
  // hand over yet: none of its bytes are at hand, nor any text decoded
  // from them in this Read.  A caller that holds text not yet decided (on
  // other threads) can decide it first, so that it does not wait with the
  // input; for compressed input, bytes that the descriptor shows may
  // decode to no text at all.  It may throw, as the interrupt check may,
  // with the same effect.
  void set_before_wait(std::function<void()> call);

  // The format, known after the first Read (kNone before).
  Compression compression() const;

  // After the first Read: the byte-order mark at the start of the
  // decompressed text, EF BB BF, FF FE (little endian) or FE FF (big
  // endian).  Its bytes are still returned by Read.
  Bom bom() const;

  // After the first Read: the first block of the decompressed text (what
  // the first Read found at hand, at most 64 KiB) holds a NUL byte and
  // does not start with a UTF-16 byte-order mark, so it is probably not
  // text.
  bool looks_binary() const;

  const std::string& name() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// "gzip", "xz", "bzip2", "zstd", or "" for kNone; for messages.
const char* CompressionName(Compression compression);

}  // namespace ptseg
