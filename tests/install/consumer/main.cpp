// Built against an installed ptseg, once through its CMake package and once
// through pkg-config: one sentence per line, then the marked-up text.
#include <ptseg/ptseg.h>

#include <iostream>

int main() {
  // UTF-8 text: the em dash opens a dialogue turn as a hyphen would.
  const char text[] =
      "O Dr. Silva chegou. Ele disse:\n\u2014 Vou embora! \u2014 gritou ela. "
      "\u00abFim.\u00bb Mais.";
  for (std::string_view sentence : ptseg::Sentences(text)) std::cout << '[' << sentence << "]\n";
  std::cout << ptseg::Markup(text) << '\n' << ptseg::Version() << '\n';
}
