// Text whose lines are wrapped: a line break inside a paragraph is only
// where the line ran out of room, so the rules should read it as a blank.
#pragma once

#include <string>
#include <string_view>

namespace ptseg {

// Makes every line break (LF, or CR LF) that does not start a paragraph
// blanks, byte for byte, so offsets are unchanged.  A paragraph starts
// after a blank line (blanks only) or at a line that starts with a blank:
// wrapped prose marks its paragraphs with one or the other, while its
// continuation lines start with the text itself.  Other line breaks, and
// every line break before the end of the input, are kept.
class LineJoiner {
 public:
  // Appends the next bytes, their inner line breaks made blanks, to *out.
  // A line break is held back until the line after it shows which it is.
  void Feed(std::string_view bytes, std::string* out);
  // The input ends: appends what is held back, as it is.
  void Finish(std::string* out);
  // Whether nothing is held back and the next byte is read as text: how
  // it stands in a paragraph's running text.
  bool idle() const { return state_ == State::kText; }

 private:
  enum class State {
    kText,       // nothing held
    kCr,         // held: a CR, which is a line break only before LF
    kBreak,      // held: a line break, and CRs after it
    kKeepBlank,  // copying the whitespace of a paragraph break as it is
  };
  void Resolve(bool keep, std::string* out);

  State state_ = State::kText;
  std::string held_;
};

}  // namespace ptseg
