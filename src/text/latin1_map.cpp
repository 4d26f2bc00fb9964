#include "text/latin1_map.h"

#include <utf8proc.h>

#include <utility>

#include "text/utf8.h"

namespace ptseg {
namespace {

// The character cache starts with kFirstSlots slots and grows up to
// kMaxSlots, so that text using every character of Unicode cannot make it
// grow without end; every CJK ideograph of the BMP and of Extension B and
// every Hangul syllable (81,476 characters) have slots of their own.
constexpr std::size_t kFirstSlots = 256;
constexpr std::size_t kMaxSlots = std::size_t{1} << 17;
// Past this many remembered pairs (see AppendCluster) they start again.
constexpr std::size_t kPairLimit = 1 << 16;

// The slot of cp in a table of mask + 1 slots: consecutive characters get
// consecutive slots, and the planes are shifted apart, so that the CJK
// ideographs of plane 2 do not take the slots of those of the BMP.
std::size_t SlotOf(char32_t cp, std::size_t mask) {
  return (cp + (cp >> 16) * std::size_t{0x9E37}) & mask;
}

// The options utf8proc's own NFC, NFKC and NFKD functions use.
constexpr int kNfc = UTF8PROC_STABLE | UTF8PROC_COMPOSE;
constexpr int kNfkc = UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_COMPAT;
constexpr int kNfkd = UTF8PROC_STABLE | UTF8PROC_DECOMPOSE | UTF8PROC_COMPAT;

// The fixed table of the conversion: each replacement, in ISO-8859-1,
// with the characters it replaces.
struct Replacement {
  const char* text;
  char32_t chars[15];  // up to the first 0
};
constexpr Replacement kReplacements[] = {
    // single quotes, primes, single guillemets
    {"'",
     {0x2018, 0x2019, 0x201A, 0x201B, 0x2032, 0x2035, 0x2039, 0x203A, 0x02BC, 0x02BB, 0x02B9,
      0x02C8, 0xFF07}},
    // double quotes, double primes
    {"\"", {0x201C, 0x201D, 0x201E, 0x201F, 0x2033, 0x2036, 0x3003, 0xFF02, 0x02BA}},
    // hyphens, figure/en/em dash, horizontal bar, minus
    {"-",
     {0x2010, 0x2011, 0x2012, 0x2013, 0x2014, 0x2015, 0x2212, 0xFE58, 0xFE63, 0xFF0D, 0x2E3A,
      0x2E3B}},
    {"...", {0x2026}},
    // en/em/thin/hair/narrow spaces
    {" ",
     {0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A,
      0x202F, 0x205F, 0x3000}},
    // zero-width and direction marks, byte-order mark
    {"",
     {0x200B, 0x200C, 0x200D, 0x2060, 0xFEFF, 0x200E, 0x200F, 0x202A, 0x202B, 0x202C, 0x202D,
      0x202E}},
    // line and paragraph separators
    {"\n", {0x2028, 0x2029}},
    // bullets
    {"*", {0x2022, 0x2023, 0x25E6, 0x2219, 0x25CF, 0x25AA, 0x25A0, 0x2043}},
    // modifier o and a: the ordinal indicators
    {"\xBA", {0x1D52}},
    {"\xAA", {0x1D43}},
    {"EUR", {0x20AC}},
    {"(TM)", {0x2122}},
    {"+", {0x2020}},
    {"++", {0x2021}},
    {"%o", {0x2030}},
    {"OE", {0x0152}},
    {"oe", {0x0153}},
    {"f", {0x0192}},
    {"^", {0x02C6}},
    {"~", {0x02DC, 0x2248}},
    {"->", {0x2192}},
    {"<-", {0x2190}},
    {"<->", {0x2194}},
    {"=>", {0x21D2}},
    {"<=", {0x2264}},
    {">=", {0x2265}},
    {"!=", {0x2260}},
    {"oo", {0x221E}},
    {"/", {0x2044, 0x2215}},
};

// The replacement of cp in the fixed table, or nullptr.  Each character is
// looked up once, before it is cached.
const char* FixedReplacement(char32_t cp) {
  for (const Replacement& replacement : kReplacements) {
    for (char32_t c : replacement.chars) {
      if (c == 0) break;
      if (c == cp) return replacement.text;
    }
  }
  return nullptr;
}

int CombiningClass(char32_t cp) {
  return utf8proc_get_property(static_cast<utf8proc_int32_t>(cp))->combining_class;
}

// Whether NFC may join cp to the character before it.  It may if cp is a
// combining mark, or one of the few starters that are the second half of a
// canonical composition: Hangul vowels and final consonants, and some
// vowel signs of Indian and South-East Asian scripts (U+0B3E, U+0DCF,
// U+102E ...).  Those are all Extend or SpacingMark in the grapheme cluster
// rules, which never split text before such a character; the test below
// takes that to be so for every version of Unicode (it holds in Unicode 14
// and 15 for every composition pair).  Zero-width joiners and other
// characters that glue to the one before are kept with it too, which is
// not needed but harmless.
bool JoinsBackward(char32_t cp) {
  const utf8proc_property_t* property = utf8proc_get_property(static_cast<utf8proc_int32_t>(cp));
  if (property->combining_class != 0) return true;
  switch (property->boundclass) {
    case UTF8PROC_BOUNDCLASS_EXTEND:
    case UTF8PROC_BOUNDCLASS_SPACINGMARK:
    case UTF8PROC_BOUNDCLASS_ZWJ:
    case UTF8PROC_BOUNDCLASS_E_ZWG:
    case UTF8PROC_BOUNDCLASS_V:
    case UTF8PROC_BOUNDCLASS_T:
      return true;
    default:
      return false;
  }
}

}  // namespace

Latin1Map::Latin1Map() : decomposed_(64) {
  small_.resize(256);
  for (char32_t c = 0; c < 256; ++c) {
    Entry& entry = small_[c];
    entry.starts_cluster = true;
    if (c < 0x80 || c >= 0xA0) {
      entry.text.assign(1, static_cast<char>(c));
    } else if (const char32_t w = utf8::Windows1252(static_cast<unsigned char>(c)); w >= 0x100) {
      entry.text = MapChar(w);
    }
    // A control Windows-1252 leaves undefined is dropped.
  }
}

const Latin1Map::Entry& Latin1Map::Lookup(char32_t cp) {
  if (cp < 0x100) return small_[cp];
  if (!cache_.empty()) {
    const Slot& slot = cache_[SlotOf(cp, cache_.size() - 1)];
    if (slot.cp == cp) return slot.entry;
  }
  return Fill(cp);
}

// Works out cp's entry and puts it in its slot, in place of the character
// there.  When half the slots are taken, or an eighth of them have been
// taken over so, the table doubles (while under kMaxSlots): text of many
// characters gets room for them, and one that cycles through more than
// the table holds loses only the characters that share a slot.
const Latin1Map::Entry& Latin1Map::Fill(char32_t cp) {
  Entry entry = Compute(cp);
  ++computed_;
  if (cache_.empty()) cache_.resize(kFirstSlots);
  Slot* slot = &cache_[SlotOf(cp, cache_.size() - 1)];
  if (slot->cp != 0) {
    ++conflicts_;
  } else {
    ++filled_;
  }
  if ((filled_ > cache_.size() / 2 || conflicts_ > cache_.size() / 8) &&
      cache_.size() < kMaxSlots) {
    GrowCache();
    slot = &cache_[SlotOf(cp, cache_.size() - 1)];
    if (slot->cp == 0) ++filled_;
  }
  slot->cp = cp;
  slot->entry = std::move(entry);
  return slot->entry;
}

void Latin1Map::GrowCache() {
  std::vector<Slot> grown(2 * cache_.size());
  for (Slot& slot : cache_) {
    if (slot.cp != 0) grown[SlotOf(slot.cp, grown.size() - 1)] = std::move(slot);
  }
  cache_.swap(grown);
  conflicts_ = 0;
  filled_ = 0;
  for (const Slot& slot : cache_) filled_ += slot.cp != 0;
}

Latin1Map::Entry Latin1Map::Compute(char32_t cp) {
  Entry entry;
  // A character whose canonical decomposition begins with a character NFC
  // may join backward (U+0F73, U+0344 ...) does not start a cluster either.
  std::vector<char32_t> chars;
  Normalize(&cp, 1, UTF8PROC_STABLE | UTF8PROC_DECOMPOSE, &chars);
  entry.starts_cluster = !JoinsBackward(cp) && (chars.empty() || !JoinsBackward(chars[0]));
  Normalize(&cp, 1, kNfc, &chars);
  for (char32_t c : chars) entry.text += c < 0x100 ? small_[c].text : MapChar(c);
  return entry;
}

void Latin1Map::AppendCluster(const char32_t* cps, std::size_t n, std::string* out) {
  // Decomposed text (NFD) has a letter and a mark for each accented
  // letter: those pairs are remembered.
  const std::uint64_t pair = n == 2 ? std::uint64_t{cps[0]} << 21 | cps[1] : 0;
  if (n == 2) {
    auto found = pairs_.find(pair);
    if (found != pairs_.end()) {
      *out += found->second;
      return;
    }
  }
  Normalize(cps, n, kNfc, &cluster_nfc_);
  // The characters of an NFC text are their own NFC forms, so each one
  // becomes what it becomes alone.
  std::string text;
  for (char32_t c : cluster_nfc_) text += Lookup(c).text;
  if (n == 2) {
    if (pairs_.size() >= kPairLimit) pairs_.clear();
    pairs_.emplace(pair, text);
  }
  *out += text;
}

const char* Latin1Map::UnicodeVersion() { return utf8proc_unicode_version(); }

// A character outside ISO-8859-1 standing alone, in NFC.
std::string Latin1Map::MapChar(char32_t cp) {
  if (const char* replacement = FixedReplacement(cp)) return replacement;
  if (CombiningClass(cp) != 0) return "";  // a mark left over after NFC
  std::vector<char32_t> chars;
  // Ligatures, full-width forms, modifier letters: the compatibility form,
  // unless it holds a C1 control.
  Normalize(&cp, 1, kNfkc, &chars);
  if (!(chars.size() == 1 && chars[0] == cp)) {
    std::string text;
    for (char32_t c : chars) {
      if (c >= 0x100 || (c >= 0x80 && c < 0xA0)) break;
      text += static_cast<char>(c);
    }
    if (text.size() == chars.size()) return text;
  }
  // Letters with marks ISO-8859-1 lacks: the letter without its marks.
  Normalize(&cp, 1, kNfkd, &chars);
  std::string text;
  for (char32_t c : chars) {
    if (CombiningClass(c) != 0) continue;
    if (c >= 0x100) return "?";
    text += static_cast<char>(c);
  }
  return text.empty() ? "?" : text;
}

// Normalizes n characters with utf8proc as its own NFC, NFKC and NFKD
// functions do.
void Latin1Map::Normalize(const char32_t* cps, std::size_t n, int options,
                          std::vector<char32_t>* result) {
  utf8_.clear();
  char buf[4];
  for (std::size_t i = 0; i < n; ++i) {
    utf8_.append(buf, utf8::Encode(cps[i], buf));
  }
  const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(utf8_.data());
  const auto size = static_cast<utf8proc_ssize_t>(utf8_.size());
  const auto option_bits = static_cast<utf8proc_option_t>(options);
  utf8proc_ssize_t length;
  // A result too long for the buffer gives its length: grow and retry.
  while ((length = utf8proc_decompose(
              data, size, decomposed_.data(), static_cast<utf8proc_ssize_t>(decomposed_.size()),
              option_bits)) > static_cast<utf8proc_ssize_t>(decomposed_.size())) {
    decomposed_.resize(static_cast<std::size_t>(length));
  }
  if (length >= 0 && (options & UTF8PROC_COMPOSE)) {
    length = utf8proc_normalize_utf32(decomposed_.data(), length, option_bits);
  }
  if (length < 0) {
    // utf8proc fails only on input that is not Unicode, which cannot occur
    // here: keep the characters as they are.
    result->assign(cps, cps + n);
    return;
  }
  result->assign(decomposed_.begin(), decomposed_.begin() + length);
}

}  // namespace ptseg
