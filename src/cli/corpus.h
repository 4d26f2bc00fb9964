// ptsplit -o DIR: whole folders of inputs, each to its own output file,
// on several threads.
#pragma once

#include <string>
#include <vector>

#include "cli/formats.h"
#include "ptseg/ptseg.h"

namespace ptsplit {

struct CorpusOptions {
  Format format = Format::kMarkup;
  ptseg::Encoding encoding = ptseg::Encoding::kUtf8;
  ptseg::Paragraphs paragraphs = ptseg::Paragraphs::kLines;
  std::string output_dir;
  std::vector<std::string> inputs;  // files and folders, as given
  unsigned jobs = 0;                // 0: one per core
  bool force = false;               // rewrite outputs that are up to date
  bool quiet = false;               // no progress line
};

// Writes the output of every input file under options.output_dir and
// returns the exit status: 0, 1 when an input could not be read, 2 when
// the run was refused or an output could not be written.
int RunCorpus(const CorpusOptions& options);

}  // namespace ptsplit
