// The notice line ptseg and its reference build write before any output.
#pragma once

namespace ptseg {

// One line on standard error before any output.  Its length is fixed.
inline constexpr char kNotice[] =
    "ptseg 1.0 - sentence and paragraph markup for Portuguese text, ISO-8859-1";
static_assert(sizeof kNotice - 1 == 73, "the notice line is 73 characters");

}  // namespace ptseg
