// Hooks that fit the flex-generated scanner to ptseg: the opening markup,
// and an input layer that reads like flex's own but lets the buffer grow.
// The rule file includes this header; flex_glue.cpp defines what it
// declares.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

#include "driver/io.h"
#include "engine/breaks.h"
#include "ptseg/markup.h"

// The opening markup comes before any input is read.  flex runs this hook
// before it defaults yyout to standard output.
#define YY_USER_INIT std::fputs(ptseg::kOpenMarkup, yyout ? yyout : stdout)

// Reads like flex's default YY_INPUT, then makes sure the next refill finds
// room: flex keeps every byte of the current match attempt in the buffer
// and would otherwise stop once one attempt outgrows it.  Growing here is
// safe because flex rebuilds its state stack from the start of the match
// after every refill.
#define YY_INPUT(buf, result, max_size)                                                         \
  do {                                                                                          \
    (result) = static_cast<int>(                                                                \
        ptseg::ReadFlexInput(yyin, YY_CURRENT_BUFFER_LVALUE->yy_is_interactive != 0, (buf),     \
                             static_cast<std::size_t>(max_size)));                              \
    ptseg::MakeRoom(YY_CURRENT_BUFFER_LVALUE->yy_ch_buf, YY_CURRENT_BUFFER_LVALUE->yy_buf_size, \
                    yy_state_buf,                                                               \
                    static_cast<std::size_t>((buf) - (YY_CURRENT_BUFFER_LVALUE->yy_ch_buf)) +   \
                        static_cast<std::size_t>(result));                                      \
  } while (0)

namespace ptseg {

// ReadInput, with flex's message on a read error.
std::size_t ReadFlexInput(std::FILE* in, bool interactive, char* buf, std::size_t max_size);

// Doubles flex's character buffer (buf_size bytes plus two end markers) and
// its state stack (one int per byte plus two) until `held` bytes leave room
// for at least one more byte.
void MakeRoom(char*& ch_buf, int& buf_size, int*& state_buf, std::size_t held);

}  // namespace ptseg

// Runs the flex-generated scanner over standard input.
int RunFlexScanner();
