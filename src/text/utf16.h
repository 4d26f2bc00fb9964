// UTF-16 text turned into UTF-8 as it streams in, with the way back from
// offsets in the UTF-8 to offsets in the UTF-16 bytes.
//
//   Utf16Decoder decoder(/*big_endian=*/false);
//   while (read(chunk)) decoder.Feed(chunk, &utf8);   // any cut
//   decoder.Finish(&utf8);
//   decoder.Origin(k);    // where the character at utf8[k] starts in the input
//
// Every input byte goes somewhere: a byte-order mark at the start is
// transcoded like any character (U+FEFF, EF BB BF), a surrogate without its
// partner becomes U+FFFD for its own two bytes, and an odd byte at the end
// becomes U+FFFD for that one byte.  So the characters of the UTF-8 tile
// the input, and offsets never fall inside a character.
//
// One object serves one stream, from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace ptseg {

class Utf16Decoder {
 public:
  explicit Utf16Decoder(bool big_endian);

  // Appends the UTF-8 of the next bytes to *out.  An odd byte, or the first
  // half of a surrogate pair, at the end of `bytes` is held for the next
  // call, so the result is the same however the input is cut.
  void Feed(std::string_view bytes, std::string* out);

  // The input ends: what was held goes out, as U+FFFD (an odd last byte, a
  // high surrogate without its low half).
  void Finish(std::string* out);

  // UTF-8 bytes written so far, and input bytes they come from.
  std::uint64_t produced() const { return produced_; }
  std::uint64_t consumed() const { return consumed_; }

  // The input offset of the character that starts at `utf8_offset` in the
  // UTF-8 written so far; produced() maps to consumed().  An offset inside
  // a character is taken as that character's start.  Each answer is cheap
  // when offsets rise from call to call.  Offsets below the last Forget
  // are not kept: they get the start of some character before it.
  std::uint64_t Origin(std::uint64_t utf8_offset);

  // Lets go of what Origin needs for offsets below `utf8_offset`.
  void Forget(std::uint64_t utf8_offset);

 private:
  // From utf8 offset `out` (input offset `in`) on, every character takes
  // `out_size` UTF-8 bytes and `in_size` input bytes, up to the next run.
  // A new run starts where the text changes between ASCII, the rest of
  // U+0080-U+07FF, the rest of the BMP and what lies beyond it: in
  // Portuguese, two runs per group of accented letters.
  struct Run {
    std::uint64_t out;
    std::uint64_t in;
    std::uint8_t out_size;
    std::uint8_t in_size;
  };

  void Emit(char32_t cp, int in_size, std::string* out);
  void Unit(char16_t unit, std::string* out);

  const bool big_endian_;
  bool has_byte_ = false;  // an odd byte held
  unsigned char byte_ = 0;
  char16_t high_ = 0;  // a high surrogate held, or 0
  std::uint64_t produced_ = 0;
  std::uint64_t consumed_ = 0;
  std::deque<Run> runs_;
  std::size_t cursor_ = 0;  // where Origin last looked, in runs_
};

}  // namespace ptseg
