#include "text/line_joiner.h"

#include <cstring>

namespace ptseg {

void LineJoiner::Feed(std::string_view bytes, std::string* out) {
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  while (p < end) {
    const char c = *p;
    switch (state_) {
      case State::kText: {
        // Most bytes are plain text: copy up to the next CR or LF at once.
        const char* stop = p;
        while (stop < end && *stop != '\n' && *stop != '\r') ++stop;
        out->append(p, stop);
        p = stop;
        if (p < end) {
          held_.assign(1, *p);
          state_ = *p == '\n' ? State::kBreak : State::kCr;
          ++p;
        }
        continue;
      }
      case State::kCr:
        if (c == '\n') {
          held_ += c;
          state_ = State::kBreak;
          ++p;
        } else {  // a CR alone breaks no line
          out->append(held_);
          held_.clear();
          state_ = State::kText;
        }
        continue;
      case State::kBreak:
        if (c == '\r') {
          held_ += c;
          ++p;
        } else {
          // A blank line, or a line that starts with a blank, starts a
          // paragraph; any other byte continues the one under way.
          Resolve(c == '\n' || c == ' ' || c == '\t', out);
        }
        continue;
      case State::kKeepBlank:
        if (c == '\n' || c == '\r' || c == ' ' || c == '\t') {
          out->push_back(c);
          ++p;
        } else {
          state_ = State::kText;
        }
        continue;
    }
  }
}

void LineJoiner::Finish(std::string* out) {
  out->append(held_);
  held_.clear();
  state_ = State::kText;
}

// Writes the line break held back: kept, or made blanks.
void LineJoiner::Resolve(bool keep, std::string* out) {
  if (!keep) {
    for (char& c : held_) c = ' ';
  }
  out->append(held_);
  held_.clear();
  state_ = keep ? State::kKeepBlank : State::kText;
}

}  // namespace ptseg
