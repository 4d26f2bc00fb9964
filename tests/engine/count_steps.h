// The automaton transitions the engine takes over a text, in builds that
// count them (Debug, sanitizers): shared by the step-bound test and the
// fuzz target.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "engine/engine.h"

namespace ptseg {

inline std::uint64_t CountSteps(std::string_view text) {
  struct : EngineListener {
    void Decided(const char*, std::size_t, const EngineBreak*, std::size_t) override {}
  } ignore;
  Engine engine(&ignore);
  for (std::size_t at = 0; at < text.size();) {
    std::size_t room = 0;
    char* space = engine.Space(&room);
    const std::size_t n = std::min(room, text.size() - at);
    std::copy_n(text.data() + at, n, space);
    engine.Commit(n);
    at += n;
  }
  engine.Finish();
  return engine.steps();
}

}  // namespace ptseg
