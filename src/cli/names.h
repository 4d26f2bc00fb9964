// File names as ptsplit shows them inside its output.
#pragma once

#include <string>
#include <string_view>

namespace ptsplit {

// A file name as valid UTF-8 that tells every name apart, for the jsonl
// "file" field and the xml file= attribute (which escape it further).
// Valid UTF-8 is kept as it is, except that each byte of a character JSON
// or XML would not show as itself, or a terminal would act on, is written
// as the four characters \xNN (NN its value in capital hexadecimal): a
// byte that is not part of valid UTF-8, a control character (U+0000-U+001F
// and U+007F-U+009F), U+FFFE and U+FFFF.  A backslash before an x is
// written \x5C, so that no name reads as another's escape: "caf\xE9.txt"
// is the name with byte 0xE9, and "caf\x5CxE9.txt" the name with the four
// characters \xE9 in it.
std::string DisplayName(std::string_view raw);

}  // namespace ptsplit
