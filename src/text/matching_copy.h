// The ISO-8859-1 copy of a UTF-8 stream that the automaton matches, and the
// way back from offsets in that copy to offsets in the stream.
//
// The copy is what the corpus's conversion to ISO-8859-1 makes of the text
// (see latin1_map.h), so the sentences found in the copy are those of the
// converted text.  Bytes that are not valid UTF-8 are read one by one as
// Windows-1252, which makes ISO-8859-1 input come out right too.  The copy
// is the same however the stream is cut into pieces.
//
// One object serves one stream, from one thread at a time (Origin, though
// const, remembers where it last looked).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "text/byte_buffer.h"
#include "text/latin1_map.h"

namespace ptseg {

// For the tests: whether UTF-8 may be converted (to this copy, and to
// JSON) in the vector blocks of processors that have them (the default),
// or only as on other processors.  Set before any conversion.
void AllowConversionBlocks(bool allow);
// Whether text may go 64 bytes at a time, read and written by masks: the
// processor has AVX-512 BW and BMI2, and the blocks are allowed.
bool MaskedBlocks64();

class MatchingCopy {
 public:
  // Converts what can be decided of the next `size` bytes of the stream and
  // appends the matching bytes to *out.  What may still change with the
  // bytes to come (a character cut short, a letter that combining marks may
  // follow) is kept back for the next call.
  void Feed(const char* data, std::size_t size, ByteBuffer* out);

  // The stream ends: converts what was kept back.  (Bytes fed after it
  // would go on the stream as if it had ended there.)
  void Finish(ByteBuffer* out);

  // Starts over on a new stream, keeping the conversions worked out.
  void Restart();

  // Whether every byte fed has been converted but perhaps the last, an
  // ASCII character kept back for marks that may join it: then what the
  // copy does next depends on the bytes to come alone.
  bool settled() const {
    return held_.empty() ||
           (held_.size() == 1 && static_cast<unsigned char>(held_[0]) < 0x80 && resume_ == 0);
  }
  // Matching bytes produced so far.
  std::uint64_t produced() const { return produced_; }

  // The stream offset of the first byte of the character that matching
  // byte m comes from; for m == produced(), the offset of the next
  // character still to convert.  Characters that give no matching byte
  // belong to the text before them: the next matching byte comes from the
  // character after them.  A letter with combining marks is one character
  // here, and every byte of an expansion ("..." for U+2026) comes from the
  // same character.  Offsets are best asked in increasing order (each
  // answer then costs little); below the last Forget they are not kept
  // and are answered as at that point.
  std::uint64_t Origin(std::uint64_t m) const;

  // Drops what Origin needs for offsets below m.
  void Forget(std::uint64_t m);

  // Work done so far, for the tests: characters read by the cluster
  // reader, and characters whose conversion was worked out (not cached).
  std::uint64_t decoded() const { return decoded_; }
  std::uint64_t computed() const { return map_.computed(); }

 private:
  // From matching offset m on, either each matching byte comes from the
  // next character (flowing), or every byte comes from one character
  // (pinned), up to the next run.
  struct Run {
    std::uint64_t m;
    std::uint64_t input;
    bool pinned;
  };

  std::size_t Convert(const unsigned char* data, std::size_t size, bool at_end, ByteBuffer* out);
  void ConvertWindows(const unsigned char*& p, const unsigned char* end, char*& dst,
                      std::uint64_t m);
  bool ConvertWindow(const unsigned char*& p, char*& dst, std::uint64_t m);
  void ConvertBlocks(const unsigned char*& p, const unsigned char* end, char*& dst,
                     std::uint64_t m);
  bool ConvertCluster(const unsigned char*& p, const unsigned char* end, bool at_end,
                      std::string* text);
  void Record(std::uint64_t m, std::uint64_t start, std::uint64_t end, std::size_t count);
  void AddRun(std::uint64_t m, std::uint64_t input, bool pinned);
  void SetExtra(std::uint64_t m, unsigned extra);
  void GrowExtras(std::uint64_t m);
  std::uint64_t ExtrasBefore(std::uint64_t m) const;

  // Every field but map_, a cache, belongs to the stream: Restart sets
  // each as it starts.
  Latin1Map map_;
  std::string held_;             // stream bytes not converted yet
  std::uint64_t converted_ = 0;  // stream offset of held_[0]
  std::uint64_t produced_ = 0;
  std::uint64_t forgotten_ = 0;
  std::vector<char32_t> cluster_;
  std::string cluster_text_;
  // When the data ended inside a cluster, the bytes of it read into
  // cluster_ already: the next Convert starts at that cluster and reads on
  // from there, so text fed a byte at a time is read once.
  std::size_t resume_ = 0;
  // Bytes at the start of the data of this Convert whose cluster is
  // converted into cluster_text_ already, or 0.
  std::size_t ready_ = 0;
  std::uint64_t decoded_ = 0;

  // Runs in increasing order of m, from runs_[first_run_]; the last one
  // flows.
  std::vector<Run> runs_{Run{0, 0, false}};
  std::size_t first_run_ = 0;
  // In a flowing run, a matching byte whose character took more than one
  // stream byte has the count of the extra bytes (1-3) here, as bits of
  // two planes (worth 1 and 2) per 64 matching bytes, from matching offset
  // 64 * extra_base_ on.  So text of one matching byte per character, in
  // any script, adds no run.
  struct ExtraBits {
    std::uint64_t one;
    std::uint64_t two;
  };
  std::vector<ExtraBits> extras_;
  std::uint64_t extra_base_ = 0;
  // before_[w]: the extra bytes in the words before word w, each worked
  // out once that word and those before it are final (the matching bytes
  // they hold were produced).  So each answer of Origin counts only the
  // bits of one word, and depends on no answer before it: the starts of a
  // piece are taken back all at once, not one after another.
  mutable std::vector<std::uint64_t> before_;
  // The run where the last answer of Origin was found, to go on from,
  // and, if known, ExtrasBefore at its start.
  mutable std::size_t cursor_run_ = 0;
  mutable bool cursor_known_ = false;
  mutable std::uint64_t cursor_before_ = 0;
};

}  // namespace ptseg
