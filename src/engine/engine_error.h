// The engine's own failure, kept apart from the public interface: the
// library turns it into ptseg::Error with the same message.
#pragma once

#include <stdexcept>

namespace ptseg {
namespace engine {

// The two failures a match attempt can meet: one look-ahead would pass
// kMaxLookahead (kLookaheadMessage), or the automaton finds no rule to run
// (kNoActionMessage, which the rule set's catch-all rule rules out).
class EngineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr char kLookaheadMessage[] = "input buffer overflow: one look-ahead exceeds 256 MiB";
inline constexpr char kNoActionMessage[] = "fatal flex scanner internal error--no action found";

}  // namespace engine
}  // namespace ptseg
