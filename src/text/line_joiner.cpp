#include "text/line_joiner.h"

#include <algorithm>

namespace ptseg {

std::size_t LineJoiner::Feed(std::string_view bytes, std::string* out) {
  if (!Pay(out)) return 0;
  const char* const begin = bytes.data();
  const char* p = begin;
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
          held_[0] = *p;
          held_size_ = 1;
          state_ = *p == '\n' ? State::kBreak : State::kCr;
          ++p;
        }
        continue;
      }
      case State::kCr:
        if (c == '\n') {
          held_[1] = c;
          held_size_ = 2;
          state_ = State::kBreak;
          ++p;
        } else {  // a CR alone breaks no line
          out->push_back('\r');
          held_size_ = 0;
          state_ = State::kText;
        }
        continue;
      case State::kBreak:
        if (c == '\r') {
          const char* stop = p;
          while (stop < end && *stop == '\r') ++stop;
          crs_ += static_cast<std::uint64_t>(stop - p);
          p = stop;
        } else {
          // A blank line, or a line that starts with a blank, starts a
          // paragraph; any other byte continues the one under way.
          Resolve(c == '\n' || c == ' ' || c == '\t', out);
          // A long run of CRs goes out in pieces, before the byte that
          // decided it.
          if (!Pay(out)) return static_cast<std::size_t>(p - begin);
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
  return bytes.size();
}

bool LineJoiner::Finish(std::string* out) {
  if (owed_ == 0 && held_size_ != 0) {
    out->append(held_, held_size_);
    held_size_ = 0;
    owed_ = crs_;
    owed_byte_ = '\r';
    crs_ = 0;
  }
  state_ = State::kText;
  return !Pay(out);
}

// Writes the line break held back, kept or made blanks, and owes the CRs
// after it, made blanks too if it is.
void LineJoiner::Resolve(bool keep, std::string* out) {
  if (keep) {
    out->append(held_, held_size_);
  } else {
    out->append(held_size_, ' ');
  }
  held_size_ = 0;
  owed_ = crs_;
  owed_byte_ = keep ? '\r' : ' ';
  crs_ = 0;
  state_ = keep ? State::kKeepBlank : State::kText;
}

bool LineJoiner::Pay(std::string* out) {
  const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(owed_, kPiece));
  out->append(n, owed_byte_);
  owed_ -= n;
  return owed_ == 0;
}

}  // namespace ptseg
