#include "ptseg/markup.h"

#include <cstring>
#include <string>

namespace ptseg {

void MarkupWriter::PutWide(std::string_view markup) {
  std::string wide;
  for (char c : markup) {
    wide += big_endian_ ? '\0' : c;
    wide += big_endian_ ? c : '\0';
  }
  Text(wide);
}

void MarkupWriter::TextAtLength(std::string_view bytes) {
  if (bytes.empty()) return;
  if (bytes.size() > gather_ - size_) {
    Flush();
    if (bytes.size() >= gather_) {
      sink_(bytes);
      return;
    }
  }
  std::memcpy(gathered_.get() + size_, bytes.data(), bytes.size());
  size_ += bytes.size();
}

}  // namespace ptseg
