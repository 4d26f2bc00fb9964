// Text made safe for XML and JSON output.  The input is UTF-8 as
// AppendUtf8 writes it (always valid), and so is the output.
#pragma once

#include <string>
#include <string_view>

namespace ptseg {

// Appends `utf8` with every character XML 1.0 cannot hold replaced by
// U+FFFD: control characters other than tab, line feed and carriage
// return, and U+FFFE, U+FFFF.
void AppendXmlChars(std::string_view utf8, std::string* out);

enum class XmlPlace { kText, kAttribute };

// Appends `utf8` as XML character data (kText) or as an attribute value
// written between double quotes (kAttribute).  Characters XML cannot hold
// become U+FFFD as above; & < > become entities.  Carriage returns are
// written &#13; because a parser reads CR LF and a lone CR as LF; in an
// attribute also " and tab and line feed, which a parser would otherwise
// read as spaces.  So a parser gives back exactly the text.
void AppendXmlEscaped(std::string_view utf8, XmlPlace place, std::string* out);

// Appends `utf8` as the inside of a JSON string: " and \ after a backslash,
// control characters as \b \f \n \r \t or \u00XX, everything else as it is.
void AppendJsonEscaped(std::string_view utf8, std::string* out);

}  // namespace ptseg
