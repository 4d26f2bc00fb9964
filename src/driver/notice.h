// The notice line ptseg and its reference build write before any output.
#pragma once

#include "ptseg/version.h"

namespace ptseg {

#define PTSEG_NOTICE_VERSION_(major, minor) #major "." #minor
#define PTSEG_NOTICE_VERSION(major, minor) PTSEG_NOTICE_VERSION_(major, minor)

// One line on standard error before any output.  Its length is fixed: a
// version with more digits needs shorter words.
inline constexpr char kNotice[] = "ptseg " PTSEG_NOTICE_VERSION(
    PTSEG_VERSION_MAJOR,
    PTSEG_VERSION_MINOR) " - sentence and paragraph markup for Portuguese text, ISO-8859-1";
static_assert(sizeof kNotice - 1 == 73, "the notice line is 73 characters");

}  // namespace ptseg
