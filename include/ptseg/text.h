// The input's text as Unicode, for output that carries it as UTF-8, and
// that text made safe for JSON and XML.
#pragma once

#include <string>
#include <string_view>

#include "ptseg/encoding.h"

namespace ptseg {

// Appends `bytes`, read in `encoding`, to *out as UTF-8, the characters
// being those the segmenter reads: in UTF-8, valid sequences are copied
// as they are and every other byte becomes the Windows-1252 character of
// that byte (the ISO-8859-1 one where Windows-1252 has none); in
// ISO-8859-1 every byte is its own character; in UTF-16, a surrogate
// without its partner and an odd last byte become U+FFFD, and a
// byte-order mark is U+FEFF like any character.  A sequence cut short at
// the end of `bytes` is read byte by byte, so give whole characters: the
// segmenter's offsets always fall between characters.
void AppendUtf8(std::string_view bytes, Encoding encoding, std::string* out);

// The same text as a view, without a copy where the bytes are their own
// UTF-8 (ASCII, or valid UTF-8 in UTF-8): `bytes` itself, or else the text
// made in *scratch.
std::string_view AsUtf8(std::string_view bytes, Encoding encoding, std::string* scratch);

// Writes the UTF-8 form of code point `cp` (not a surrogate, at most
// U+10FFFF) to `out`, which has room for 4 bytes; returns its length.
int EncodeUtf8(char32_t cp, char* out);

// Appends `utf8` (valid UTF-8, as AppendUtf8 writes it) as the inside of a
// JSON string: " and \ after a backslash, control characters as \b \f \n
// \r \t or \u00XX, everything else as it is.
void AppendJsonEscaped(std::string_view utf8, std::string* out);

// The two at once: writes `bytes`, read in `encoding` (UTF-8 or
// ISO-8859-1), as the inside of a JSON string, the characters those of
// AppendUtf8 escaped as by AppendJsonEscaped.  `out` has room for
// 6 * bytes.size() bytes, the most a byte can become; returns the end of
// what was written.
char* WriteJsonString(std::string_view bytes, Encoding encoding, char* out);

// Writes `bytes`, read in `encoding` (UTF-8 or ISO-8859-1), as the UTF-8
// of AppendUtf8 on one line: every run of whitespace becomes one space,
// and none is left at either end.  Whitespace is space, tab, LF, VT, FF,
// CR, and the characters the segmenter reads as a space or a line break:
// U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000 (not the
// no-break space U+00A0, which binds the words on either side).  `out`
// has room for 3 * bytes.size() + 16 bytes; returns the end of what was
// written.
char* WriteOneLine(std::string_view bytes, Encoding encoding, char* out);

// Whether WriteOneLine reads the character `c` as whitespace.
bool IsWhitespace(char32_t c);

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

}  // namespace ptseg
