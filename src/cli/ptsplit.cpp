// ptsplit: sentences and paragraphs of Portuguese text, in a choice of
// encodings and output formats, for single files or whole folders.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/corpus.h"
#include "cli/formats.h"
#include "cli/names.h"
#include "driver/io.h"
#include "ptseg/ptseg.h"

namespace {

constexpr char kProgram[] = "ptsplit";

constexpr char kHelp[] =
    R"(Usage: ptsplit [OPTION]... [FILE]...
  or:  ptsplit [OPTION]... -o DIR FILE|FOLDER...
Mark the sentences and paragraphs of Portuguese text.

With no FILE, or when FILE is -, read standard input.  Each FILE is split
on its own, and the outputs follow each other on standard output.

  -e, --encoding=ENC    how the input is read: utf-8 (the default; a byte
                          that is not part of valid UTF-8 is read as
                          Windows-1252, and a UTF-16 byte-order mark
                          selects UTF-16), latin-1 (ISO-8859-1), utf-16le
                          or utf-16be; gzip, xz, bzip2 and zstd input is
                          decompressed first
  -f, --format=FORMAT   markup (the default): the input bytes with
                          <p><s> ... </s></p> inserted, as ptseg writes them
                        lines: one sentence per line, in UTF-8; each run of
                          whitespace becomes one space, and an empty line
                          separates paragraphs
                        jsonl: one JSON object per sentence, in UTF-8,
                          {"start": 0, "end": 4, "paragraph": 0, "text": "Oi. "}
                          with byte offsets into the input (end excluded)
                          and paragraphs counted from 0
                        xml: a UTF-8 XML document,
                          <text><p><s>...</s></p></text>; characters XML
                          cannot hold become U+FFFD
      --paragraphs=WHERE  where paragraphs start: lines (the default), at
                          every line break before a sentence; blank-lines,
                          for hard-wrapped text: only after a blank line or
                          at a line that starts with a blank, any other line
                          break reading as a space (the bytes are kept)
  -o, --output-dir=DIR  write each input file's output to a file under DIR
  -j, --jobs=N          use N threads (default: one per core with -o, one
                          without): with -o, N files at once; without, N
                          threads on each input, with the same output
      --force           with -o: also rewrite outputs that are up to date
  -q, --quiet           no progress line
  -h, --help            display this help and exit
  -V, --version         output version information and exit

--force without -o is an error.  With several FILEs, markup outputs
follow each other; lines puts an empty line between files, as between
paragraphs; each jsonl object starts with a "file" field naming its FILE;
xml writes one document whose <corpus> root holds a <text file="FILE">
element per FILE.

Whitespace, for the lines format: space, tab, line feed, vertical tab, form
feed, carriage return, and U+2000-U+200A, U+2028, U+2029, U+202F, U+205F and
U+3000.  The no-break space U+00A0 binds words and is kept.

With -o DIR, a FILE is written to DIR/NAME, NAME being its last component,
and each regular file under a FOLDER to DIR/PATH, PATH being its path inside
FOLDER, with .txt added for lines, .jsonl for jsonl, .xml for xml, nothing
for markup; hidden files and folders are left out, and symbolic links inside a
FOLDER are not followed.  Each output holds what 'ptsplit FILE' prints.
Outputs are written under a hidden temporary name and renamed when
complete, so a run that is stopped leaves no partial output; each run
removes, anywhere under DIR outside hidden folders, the temporary files of
runs no longer running.  An output gets its input's modification time as
it was when read, and is taken as done while the input still has that
time and the output does not say (in its extended attribute
user.ptsplit.options) it was made with another -e, -f or --paragraphs:
run the same command again to finish an interrupted run.  An input that
changes while it is read gets no output (status 1); an input that is not
a regular file, such as a FIFO, is split at every run.  DIR may not be
inside an input FOLDER, nor an input inside DIR, nor may two runs write to
one DIR at once.

Progress is shown on standard error when it is a terminal: with -o, for
the whole run; without, once the run has taken two seconds, for the input
under way, unless standard output is a terminal too.  An input that is the
file standard output writes to is refused ("input file is output file").

Exit status: 0 if all went well; 1 if an input could not be read, or with
-o changed while read (the others are still split); 2 for a bad option, a
refused -o run, a write error, an input that is standard output's file, or
an input on which one look-ahead exceeds 256 MiB.  After a write
error or such an input, standard output keeps what was written and the run
stops; with -o, that input gets no output, and after a write error no
further input is started.
)";

[[noreturn]] void BadUsage(const std::string& message) {
  if (!message.empty()) std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
  std::fprintf(stderr, "Try '%s --help'.\n", kProgram);
  std::exit(2);
}

bool ParseFormat(const char* name, ptsplit::Format* format) {
  static const struct {
    const char* name;
    ptsplit::Format format;
  } kFormats[] = {{"markup", ptsplit::Format::kMarkup},
                  {"lines", ptsplit::Format::kLines},
                  {"jsonl", ptsplit::Format::kJsonl},
                  {"xml", ptsplit::Format::kXml}};
  for (const auto& known : kFormats) {
    if (std::strcmp(name, known.name) == 0) {
      *format = known.format;
      return true;
    }
  }
  return false;
}

bool ParseJobs(const char* text, unsigned* jobs) {
  constexpr unsigned kMaxJobs = 1024;
  if (*text == '\0' || std::strspn(text, "0123456789") != std::strlen(text)) return false;
  errno = 0;
  const unsigned long n = std::strtoul(text, nullptr, 10);
  if (errno != 0 || n == 0 || n > kMaxJobs) return false;
  *jobs = static_cast<unsigned>(n);
  return true;
}

// The size of the pieces one input is cut into for several threads: the
// library's default, unless the tests set PTSPLIT_CHUNK_SIZE to join
// pieces of a few bytes.
std::size_t ChunkSize() {
  const char* size = std::getenv("PTSPLIT_CHUNK_SIZE");
  return size != nullptr ? std::strtoull(size, nullptr, 10) : 0;
}

// The progress line of the run to standard output, if one is drawn.
ptsplit::StreamProgress* progress = nullptr;

[[noreturn]] void WriteFailed(int error) {
  if (progress != nullptr) progress->Stop();
  std::fprintf(stderr, "%s: error writing standard output: %s\n", kProgram, std::strerror(error));
  std::exit(2);
}

// Ends a run that printed the help or the version.
int Printed() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) WriteFailed(errno);
  return 0;
}

// Refuses, before anything is written, an input that standard output
// writes to (see ptseg::IsStandardOutput).  Each input is checked again
// once open, in case it was replaced meanwhile.
void RefuseInputIsOutput(const std::vector<std::string>& inputs) {
  for (const std::string& input : inputs) {
    struct stat st;
    const bool standard_input = input == "-";
    if (standard_input ? fstat(STDIN_FILENO, &st) != 0 : stat(input.c_str(), &st) != 0) continue;
    if (ptseg::IsStandardOutput(st)) {
      std::fprintf(stderr, "%s: %s: input file is output file\n", kProgram,
                   ptsplit::DisplayName(input).c_str());
      std::exit(2);
    }
  }
}

// What is left to read of a regular file from where it stands (standard
// input may have been read into before), for the progress; 0 for others.
std::uint64_t BytesLeft(int fd, const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return 0;
  const off_t at = lseek(fd, 0, SEEK_CUR);
  return at >= 0 && at < st.st_size ? static_cast<std::uint64_t>(st.st_size - at) : 0;
}

// Splits each input to standard output; returns the exit status.  A
// progress line is drawn on standard error when it is a terminal, unless
// `quiet` or standard output is a terminal too.
int SplitToStandardOutput(const std::vector<std::string>& inputs, ptsplit::Format format,
                          const ptseg::Options& segmenting, bool quiet) {
  ptsplit::Output out(STDOUT_FILENO);
  ptsplit::Splitter splitter(format, segmenting, &out, inputs.size() > 1);
  int status = 0;
  const char* name = "";  // the input under way, for messages
  ptsplit::Console console(!quiet && isatty(STDERR_FILENO) && !isatty(STDOUT_FILENO));
  // A warning clears the progress line, as a message does.
  splitter.set_warn([&console](const std::string& input, const std::string& warning) {
    console.Complain(input, warning);
  });
  auto fatal = [&](const char* message) {
    try {
      out.Flush();  // the output up to here is kept
    } catch (const ptsplit::WriteError& e) {
      WriteFailed(e.error);
    }
    progress->Stop();
    console.Complain(name, message);
    return 2;
  };
  // An input that fails is named after the output before it, so that the
  // message falls where it belongs when both streams go to one file.
  auto complain = [&](const std::string& reason) {
    try {
      out.Flush();
    } catch (const ptsplit::WriteError& e) {
      console.Complain(name, reason);
      WriteFailed(e.error);
    }
    console.Complain(name, reason);
    status = 1;
  };
  RefuseInputIsOutput(inputs);
  ptsplit::StreamProgress stream_progress(&console);
  progress = &stream_progress;
  try {
    splitter.Begin();
    for (const std::string& input : inputs) {
      name = input.c_str();
      const bool standard_input = input == "-";
      // Opening a FIFO waits for its writer: the output of the inputs
      // before it goes out first, as before a read that waits.
      struct stat named;
      if (!standard_input && stat(name, &named) == 0 && S_ISFIFO(named.st_mode)) out.Flush();
      const int fd = standard_input ? STDIN_FILENO : open(name, O_RDONLY | O_CLOEXEC);
      struct stat st;
      if (fd < 0 || fstat(fd, &st) != 0) {
        complain(std::strerror(errno));
        if (fd >= 0 && !standard_input) close(fd);
        continue;
      }
      if (ptseg::InputIsOutput(fd)) {
        if (!standard_input) close(fd);
        return fatal("input file is output file");
      }
      if (S_ISDIR(st.st_mode)) {
        if (!standard_input) close(fd);
        // -o takes folders but never standard input, so it is no remedy there.
        complain(standard_input ? "is a directory" : "is a directory (use -o DIR)");
        continue;
      }
      auto* bytes_read = stream_progress.Start(BytesLeft(fd, st), !isatty(fd));
      const std::string error = splitter.Split(fd, input, bytes_read, true);
      if (!standard_input) close(fd);
      if (!error.empty()) complain(error);
    }
    splitter.End();
    out.Flush();
    stream_progress.Stop();
  } catch (const ptsplit::WriteError& e) {
    WriteFailed(e.error);
  } catch (const ptseg::Error& e) {
    return fatal(e.what());
  } catch (const std::bad_alloc&) {
    return fatal("out of memory");
  }
  return status;
}

// A standard descriptor the caller left closed is opened on /dev/null, so
// that no input or output file of the run takes its number (a warning
// would go into an output file); it is opened the wrong way round, so that
// reading standard input or writing standard output still fails (as a
// read error of the input "-").
void GuardStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is fd.
    if (open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd) {
      std::fprintf(stderr, "%s: /dev/null: %s\n", kProgram, std::strerror(errno));
      std::exit(2);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  GuardStandardDescriptors();
  argv[0] = const_cast<char*>(kProgram);  // getopt says "ptsplit:", whatever the path
  enum { kForce = 256, kParagraphs };
  static const option kOptions[] = {{"encoding", required_argument, nullptr, 'e'},
                                    {"format", required_argument, nullptr, 'f'},
                                    {"output-dir", required_argument, nullptr, 'o'},
                                    {"jobs", required_argument, nullptr, 'j'},
                                    {"paragraphs", required_argument, nullptr, kParagraphs},
                                    {"force", no_argument, nullptr, kForce},
                                    {"quiet", no_argument, nullptr, 'q'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, 'V'},
                                    {nullptr, 0, nullptr, 0}};
  ptsplit::CorpusOptions options;
  bool output_dir = false;
  bool jobs = false;
  int c;
  while ((c = getopt_long(argc, argv, "e:f:o:j:qhV", kOptions, nullptr)) != -1) {
    switch (c) {
      case 'e':
        if (!ptseg::ParseEncoding(optarg, &options.encoding)) {
          BadUsage(std::string("invalid encoding '") + optarg +
                   "' (use utf-8, latin-1, utf-16le or utf-16be)");
        }
        break;
      case 'f':
        if (!ParseFormat(optarg, &options.format)) {
          BadUsage(std::string("invalid format '") + optarg +
                   "' (use markup, lines, jsonl or xml)");
        }
        break;
      case 'o':
        if (*optarg == '\0') BadUsage("the output folder's name is empty");
        options.output_dir = optarg;
        output_dir = true;
        break;
      case 'j':
        if (!ParseJobs(optarg, &options.jobs)) {
          BadUsage(std::string("invalid number of jobs '") + optarg + "' (use 1 to 1024)");
        }
        jobs = true;
        break;
      case kParagraphs:
        if (std::strcmp(optarg, "lines") == 0) {
          options.paragraphs = ptseg::Paragraphs::kLines;
        } else if (std::strcmp(optarg, "blank-lines") == 0) {
          options.paragraphs = ptseg::Paragraphs::kBlankLines;
        } else {
          BadUsage(std::string("invalid paragraphs '") + optarg + "' (use lines or blank-lines)");
        }
        break;
      case kForce:
        options.force = true;
        break;
      case 'q':
        options.quiet = true;
        break;
      case 'h':
        std::fputs(kHelp, stdout);
        return Printed();
      case 'V':
        std::printf("%s %s\n", kProgram, ptseg::Version());
        return Printed();
      default:  // getopt has said what is wrong
        BadUsage("");
    }
  }
  options.inputs.assign(argv + optind, argv + argc);
  if (!output_dir) {
    if (options.force) BadUsage("--force needs --output-dir");
    if (options.inputs.empty()) options.inputs.push_back("-");
    ptseg::Options segmenting(options.encoding, options.paragraphs);
    segmenting.threads = jobs ? options.jobs : 1;
    segmenting.chunk_size = ChunkSize();
    return SplitToStandardOutput(options.inputs, options.format, segmenting, options.quiet);
  }
  if (options.inputs.empty()) BadUsage("--output-dir needs a FILE or FOLDER to split");
  return ptsplit::RunCorpus(options);
}
