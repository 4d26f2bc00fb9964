// Sentences as the segmenter reports them: where each one starts, and the
// sentences those starts make.
#pragma once

#include <cstdint>

namespace ptseg {

// Where a sentence starts: a byte offset into the input, and whether a
// paragraph starts there too.  The first sentence starts at 0 and opens a
// paragraph; an empty input has no sentence.
struct Boundary {
  std::uint64_t offset;
  bool paragraph;
  bool operator==(const Boundary& other) const {
    return offset == other.offset && paragraph == other.paragraph;
  }
};

// A sentence: bytes [start, end) of the input, whitespace after it
// included, so that the sentences of an input tile it; `paragraph` numbers
// its paragraph from 0.
struct Sentence {
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t paragraph;
  // Whether the sentence opens its paragraph.
  bool opens_paragraph;
  bool operator==(const Sentence& other) const {
    return start == other.start && end == other.end && paragraph == other.paragraph &&
           opens_paragraph == other.opens_paragraph;
  }
};

// Makes sentences of the sentence starts of one input, given in order:
// each sentence ends where the next starts, the last where the input ends.
class SentenceCollector {
 public:
  // Takes the next start; returns true, with the sentence it ends in
  // *sentence, unless it is the first.
  bool Add(const Boundary& start, Sentence* sentence) {
    const bool ended = open_;
    if (ended) *sentence = {start_, start.offset, paragraphs_ - 1, opens_};
    open_ = true;
    start_ = start.offset;
    opens_ = start.paragraph;
    // The first start always opens a paragraph, so an open sentence has
    // paragraphs_ >= 1.
    if (start.paragraph) ++paragraphs_;
    return ended;
  }
  // The input ends after `size` bytes: returns true, with the last
  // sentence in *sentence, if there is one.  The collector then starts
  // over for another input.
  bool End(std::uint64_t size, Sentence* sentence) {
    const bool ended = open_;
    if (ended) *sentence = {start_, size, paragraphs_ - 1, opens_};
    *this = SentenceCollector();
    return ended;
  }
  // Whether a sentence is under way, and where it starts.
  bool open() const { return open_; }
  std::uint64_t start() const { return start_; }

 private:
  bool open_ = false;
  bool opens_ = false;
  std::uint64_t start_ = 0;
  std::uint64_t paragraphs_ = 0;
};

}  // namespace ptseg
