// What the characters of a text become in the ISO-8859-1 matching copy: the
// corpus's conversion to ISO-8859-1.  The text is put in NFC; characters
// ISO-8859-1 has stay, except the C1 controls U+0080-U+009F, which are read
// as the Windows-1252 characters of those bytes; the rest go through a
// fixed table of quotes, dashes, spaces and symbols, then become their
// compatibility form or their letter without its marks when ISO-8859-1 has
// that, and "?" otherwise.  Combining marks left over after NFC vanish.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace ptseg {

class Latin1Map {
 public:
  struct Entry {
    // The character's ISO-8859-1 bytes, when it forms a cluster alone.
    std::string text;
    // Whether a cluster starts at the character.  A cluster starts at a
    // character that NFC never joins to the text before it: NFC of a whole
    // text is NFC of each cluster, one after the other.
    bool starts_cluster;
  };

  Latin1Map();

  // The entry of one character; the reference holds until the next call.
  const Entry& Lookup(char32_t cp);

  // Appends the ISO-8859-1 bytes of a cluster of n characters.
  void AppendCluster(const char32_t* cps, std::size_t n, std::string* out);

  // The version of Unicode whose character data the conversion uses.
  static const char* UnicodeVersion();

  // Characters whose entry was worked out so far (not found cached).
  std::uint64_t computed() const { return computed_; }

 private:
  const Entry& Fill(char32_t cp);
  void GrowCache();
  Entry Compute(char32_t cp);
  std::string MapChar(char32_t cp);
  void Normalize(const char32_t* cps, std::size_t n, int options, std::vector<char32_t>* result);

  // Characters below U+0100 are looked up here, the others are cached as
  // they come (the slow path is paid once per distinct character): in a
  // direct-mapped table (see Fill), where a character evicts only the one
  // in its slot, and which doubles, up to a bound, when that happens often.
  std::vector<Entry> small_;
  struct Slot {
    char32_t cp = 0;  // 0: empty (characters below U+0100 are never here)
    Entry entry;
  };
  std::vector<Slot> cache_;
  std::size_t filled_ = 0;     // slots taken
  std::size_t conflicts_ = 0;  // evictions since the table last grew
  std::uint64_t computed_ = 0;
  // Clusters of two characters, by (first << 21 | second).
  std::unordered_map<std::uint64_t, std::string> pairs_;
  // Scratch space for utf8proc, and for AppendCluster.
  std::string utf8_;
  std::vector<std::int32_t> decomposed_;
  std::vector<char32_t> cluster_nfc_;
};

}  // namespace ptseg
