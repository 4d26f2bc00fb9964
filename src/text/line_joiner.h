// Text whose lines are wrapped: a line break inside a paragraph is only
// where the line ran out of room, so the rules should read it as a blank.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ptseg {

// Makes every line break (LF, or CR LF) that does not start a paragraph
// blanks, byte for byte, so offsets are unchanged.  A paragraph starts
// after a blank line (blanks only) or at a line that starts with a blank:
// wrapped prose marks its paragraphs with one or the other, while its
// continuation lines start with the text itself.  Other line breaks, and
// every line break before the end of the input, are kept.
//
// What is held back takes a few bytes however long it is: the CRs after a
// line break are counted, and go out a piece at a time once decided.
class LineJoiner {
 public:
  // A run held back goes out at most this many bytes a call.
  static constexpr std::size_t kPiece = std::size_t{1} << 16;

  // Appends the next bytes, their inner line breaks made blanks, to *out,
  // and returns how many of them it took: all of them, unless it stopped
  // after appending kPiece bytes of a run it had held back, when the
  // caller feeds the rest again.  A line break is held back until the
  // line after it shows which it is.
  std::size_t Feed(std::string_view bytes, std::string* out);
  // The input ends: appends what is held back, as it is, a piece at a
  // time; returns true while some is left for the next call.
  bool Finish(std::string* out);
  // Whether nothing is held back and the next byte is read as text: how
  // it stands in a paragraph's running text.
  bool idle() const { return state_ == State::kText && owed_ == 0; }

 private:
  enum class State {
    kText,       // nothing held
    kCr,         // held: a CR, which is a line break only before LF
    kBreak,      // held: a line break, and CRs after it
    kKeepBlank,  // copying the whitespace of a paragraph break as it is
  };
  void Resolve(bool keep, std::string* out);
  // Appends up to kPiece of the bytes owed; returns whether all went.
  bool Pay(std::string* out);

  State state_ = State::kText;
  // The line break held (LF, or CR LF), and the CRs after it.
  char held_[2] = {};
  std::size_t held_size_ = 0;
  std::uint64_t crs_ = 0;
  // Bytes decided but not appended yet: `owed_` times `owed_byte_`.
  std::uint64_t owed_ = 0;
  char owed_byte_ = 0;
};

}  // namespace ptseg
