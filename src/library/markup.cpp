#include "ptseg/markup.h"

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

}  // namespace ptseg
