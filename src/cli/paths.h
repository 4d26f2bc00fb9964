// ptsplit -o DIR: the paths of a corpus run.  Walking the input folders,
// naming the outputs, and refusing inputs and outputs that overlap.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "cli/console.h"

namespace ptsplit {

// One input file and its output.
struct Job {
  std::string input;   // the path to open
  std::string output;  // the output's path
  std::string folder;  // the folder it goes in
  std::uint64_t size;
  timespec mtime;
  dev_t device;  // the file found, which the one opened must be
  ino_t inode;
  bool regular;  // a regular file (not a FIFO or a device)
};

std::string Join(const std::string& folder, const std::string& name);
// The folder a path is in, and its last component.
std::string Parent(const std::string& path);
std::string BaseName(const std::string& path);

// The absolute path `path` stands for, with symbolic links resolved, also
// when its last components do not exist yet (nothing can be inside those).
std::string Resolve(const std::string& path);

// Whether resolved path `inner` is `outer` or inside it.
bool Inside(const std::string& inner, const std::string& outer);

// Creates a folder and the folders above it that are missing, as
// mkdir -p does; returns 0 or the errno value.
int MakeFolders(const std::string& path);

// Finds the input files of a run and names their outputs.
class Planner {
 public:
  // An output is named as its input with `suffix` added.
  Planner(const std::string& output_dir, const std::string& suffix, Console* console)
      : output_dir_(output_dir),
        resolved_output_dir_(Resolve(output_dir)),
        suffix_(suffix),
        console_(console) {}

  // Adds the files given and those under the folders given.  False when
  // the run is refused (the reason is shown); an input that cannot be
  // read is shown and sets status() to 1.
  bool Add(const std::vector<std::string>& inputs);

  std::vector<Job>& jobs() { return jobs_; }
  int status() const { return status_; }

 private:
  void AddInput(const std::string& argument);
  void Walk(const std::string& folder, const std::string& relative);
  void AddJob(const std::string& input, const std::string& relative, const struct stat& st);
  void CannotRead(const std::string& path, int error);
  bool CheckOutputPaths();
  bool CheckOutputFolders();

  const std::string output_dir_;  // as given
  const std::string resolved_output_dir_;
  const std::string suffix_;
  Console* const console_;
  std::vector<Job> jobs_;
  std::map<std::string, std::string> relative_outputs_;  // output path in the folder -> input
  struct Given {
    std::string argument, resolved;
    bool folder;
  };
  std::vector<Given> given_;  // the inputs added, as given and resolved
  bool refused_ = false;
  int status_ = 0;
};

}  // namespace ptsplit
