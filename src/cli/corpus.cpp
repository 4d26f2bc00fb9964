#include "cli/corpus.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <utility>

namespace ptsplit {
namespace {

// Outputs are written under this prefix and six more characters, and
// renamed when complete; the output they replace is kept a moment under
// the same name and kOldSuffix.  The names start with a dot, so a walk of
// the output folder skips them, and a run removes those a killed run left
// in the folders it writes to.
constexpr char kTempPrefix[] = ".ptsplit-";
constexpr char kOldSuffix[] = ".old";
constexpr std::size_t kTempNameLength = sizeof kTempPrefix - 1 + 6;

struct Job {
  std::string input;   // the path to open
  std::string output;  // the output's path
  std::string folder;  // the folder it goes in
  std::uint64_t size;
  timespec mtime;
};

// Standard error, shared by the threads: messages and the progress line.
class Console {
 public:
  explicit Console(bool progress) : progress_(progress) {}

  // "ptsplit: WHAT: WHY" on a line of its own; the progress line comes
  // back at the next redraw.
  void Complain(const std::string& what, const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
    std::fprintf(stderr, "ptsplit: %s: %s\n", what.c_str(), why.c_str());
  }

  void Refuse(const std::string& message) {
    std::fprintf(stderr, "ptsplit: %s\n", message.c_str());
  }

  bool progress() const { return progress_; }

  // Draws the progress line over the last one.
  void Redraw(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    shown_ = true;
  }

  void EndProgress() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown_) std::fputc('\n', stderr);
    shown_ = false;
  }

 private:
  std::mutex mutex_;
  const bool progress_;
  bool shown_ = false;
};

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The folder a path is in.
std::string Parent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The last component of a path.
std::string BaseName(const std::string& path) {
  const std::string trimmed = WithoutTrailingSlashes(path);
  const std::size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// The absolute path `path` stands for, with symbolic links resolved, also
// when its last components do not exist yet (nothing can be inside those).
std::string Resolve(const std::string& path) {
  if (char* real = realpath(path.c_str(), nullptr)) {
    std::string resolved = real;
    std::free(real);
    return resolved;
  }
  const std::string trimmed = WithoutTrailingSlashes(path);
  const std::string parent = Parent(trimmed);
  if (parent == trimmed) return trimmed;  // "/", or "." when the current folder is gone
  const std::string name = BaseName(trimmed);
  const std::string base = Resolve(parent);
  if (name == ".") return base;
  if (name == "..")
    return base == "/" ? base : base.substr(0, std::max<std::size_t>(base.rfind('/'), 1));
  return Join(base, name);
}

// Whether resolved path `inner` is `outer` or inside it.
bool Inside(const std::string& inner, const std::string& outer) {
  if (outer == "/") return true;
  return inner == outer ||
         (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
          inner[outer.size()] == '/');
}

// Creates a folder and the folders above it that are missing, as
// mkdir -p does; returns 0 or the errno value.
int MakeFolders(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  const std::string trimmed = WithoutTrailingSlashes(path);
  const std::size_t slash = trimmed.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    if (const int error = MakeFolders(trimmed.substr(0, slash))) return error;
  }
  if (mkdir(trimmed.c_str(), 0777) == 0) return 0;  // the umask applies
  const int error = errno;
  return error == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : error;
}

bool NotOlder(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec >= b.tv_nsec;
}

std::string Megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1e6);
  return text;
}

// Renames `temp` to `output`; returns 0 or the errno value.
int Replace(const std::string& temp, const std::string& output) {
  // The blocks of an output replaced by rename are freed with the folder
  // still locked, and freeing can wait on the disk (online discard): the
  // other threads could then create no file in that folder.  Kept under a
  // second name, they are freed by unlink, which unlocks the folder first.
  const std::string old = temp + kOldSuffix;
  const bool kept = link(output.c_str(), old.c_str()) == 0;
  const int error = rename(temp.c_str(), output.c_str()) == 0 ? 0 : errno;
  if (kept) unlink(old.c_str());
  return error;
}

class CorpusRun {
 public:
  explicit CorpusRun(const CorpusOptions& options)
      : options_(options), console_(!options.quiet && isatty(STDERR_FILENO)) {}

  int Run();

 private:
  // Planning: everything here happens before any output is written.
  bool Plan();
  void AddInput(const std::string& argument);
  void Walk(const std::string& folder, const std::string& relative);
  void AddJob(const std::string& input, const std::string& relative, const struct stat& st);
  bool CheckOutputPaths();
  bool PrepareFolders();
  void RemoveStaleTemps(const std::string& folder);
  bool DropFinished();

  // The work.
  void Work();
  void Split(const Job& job, Output* output, Splitter* splitter);
  void Fail(int status) {
    int now = status_.load();
    while (now < status && !status_.compare_exchange_weak(now, status)) {
    }
  }
  void ShowProgress(std::chrono::steady_clock::time_point start);

  const CorpusOptions& options_;
  Console console_;
  std::string output_dir_;  // resolved
  std::vector<Job> jobs_;
  std::map<std::string, std::string> relative_inputs_;  // relative output path -> input
  bool refused_ = false;
  std::size_t up_to_date_ = 0;
  std::uint64_t total_bytes_ = 0;
  mode_t file_mode_ = 0666;
  int lock_fd_ = -1;

  std::atomic<int> status_{0};
  std::atomic<std::size_t> next_job_{0};
  std::atomic<std::size_t> jobs_done_{0};
  std::atomic<std::uint64_t> bytes_done_{0};
  std::atomic<bool> stop_{false};  // after an output error: start no more
  std::mutex done_mutex_;
  std::condition_variable done_;
  std::size_t threads_running_ = 0;
};

int CorpusRun::Run() {
  const mode_t mask = umask(0);
  umask(mask);
  file_mode_ = 0666 & ~mask;
  if (!Plan()) return 2;
  std::sort(jobs_.begin(), jobs_.end(), [](const Job& a, const Job& b) { return a.size > b.size; });
  unsigned threads = options_.jobs != 0 ? options_.jobs : std::thread::hardware_concurrency();
  threads = static_cast<unsigned>(
      std::min<std::size_t>(std::max(threads, 1u), std::max<std::size_t>(jobs_.size(), 1)));
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  threads_running_ = threads;
  for (unsigned i = 0; i < threads; ++i) workers.emplace_back([this] { Work(); });
  {
    std::unique_lock<std::mutex> lock(done_mutex_);
    while (threads_running_ > 0) {
      if (console_.progress()) {
        lock.unlock();
        ShowProgress(start);
        lock.lock();
      }
      done_.wait_for(lock, std::chrono::milliseconds(250),
                     [this] { return threads_running_ == 0; });
    }
  }
  for (std::thread& worker : workers) worker.join();
  if (console_.progress()) {
    ShowProgress(start);
    console_.EndProgress();
  }
  return status_;
}

// Finds the inputs and their outputs, refuses what would go wrong, makes
// the folders and leaves out what is up to date.  False when refused.
bool CorpusRun::Plan() {
  output_dir_ = Resolve(options_.output_dir);
  for (const std::string& argument : options_.inputs) {
    if (argument == "-") {
      console_.Refuse("standard input cannot be split into an output folder (-o)");
      return false;
    }
  }
  for (const std::string& argument : options_.inputs) {
    AddInput(argument);
    if (refused_) return false;
  }
  return CheckOutputPaths() && PrepareFolders() && DropFinished();
}

void CorpusRun::AddInput(const std::string& argument) {
  struct stat st;
  if (stat(argument.c_str(), &st) != 0) {
    console_.Complain(argument, std::strerror(errno));
    Fail(1);
    return;
  }
  const std::string resolved = Resolve(argument);
  const bool folder = S_ISDIR(st.st_mode);
  // An output could overwrite an input, or a later run read outputs as
  // inputs.
  if (Inside(resolved, output_dir_)) {
    console_.Refuse("input " + argument + " is inside the output folder " + options_.output_dir);
    refused_ = true;
    return;
  }
  if (folder && Inside(output_dir_, resolved)) {
    console_.Refuse("output folder " + options_.output_dir + " is inside the input folder " +
                    argument);
    refused_ = true;
    return;
  }
  if (folder) {
    Walk(argument, "");
  } else {
    AddJob(argument, BaseName(argument), st);
  }
}

// Regular files under `folder`, recursively.  Hidden files and folders are
// left out, and symbolic links are not followed.
void CorpusRun::Walk(const std::string& folder, const std::string& relative) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    console_.Complain(folder, std::strerror(errno));
    Fail(1);
    return;
  }
  // The folder is closed before going down into the ones inside it, so
  // that a deep tree does not hold a descriptor per level.
  std::vector<std::pair<std::string, struct stat>> entries;
  while (const dirent* entry = readdir(dir)) {
    struct stat st;
    if (entry->d_name[0] == '.') continue;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      console_.Complain(Join(folder, entry->d_name), std::strerror(errno));
      Fail(1);
      continue;
    }
    entries.emplace_back(entry->d_name, st);
  }
  closedir(dir);
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [name, st] : entries) {
    if (refused_) return;
    if (S_ISDIR(st.st_mode)) {
      Walk(Join(folder, name), relative + name + "/");
    } else if (S_ISREG(st.st_mode)) {
      AddJob(Join(folder, name), relative + name, st);
    }
  }
}

void CorpusRun::AddJob(const std::string& input, const std::string& relative,
                       const struct stat& st) {
  const auto [place, added] = relative_inputs_.emplace(relative, input);
  if (!added) {
    console_.Refuse(place->second + " and " + input + " would both be written to " +
                    Join(options_.output_dir, relative));
    refused_ = true;
    return;
  }
  const std::string output = Join(options_.output_dir, relative);
  jobs_.push_back(
      Job{input, output, Parent(output), static_cast<std::uint64_t>(st.st_size), st.st_mtim});
}

// No output may stand where another one needs a folder.
bool CorpusRun::CheckOutputPaths() {
  for (const auto& [relative, input] : relative_inputs_) {
    for (std::size_t slash = relative.find('/'); slash != std::string::npos;
         slash = relative.find('/', slash + 1)) {
      const auto file = relative_inputs_.find(relative.substr(0, slash));
      if (file != relative_inputs_.end()) {
        console_.Refuse(Join(options_.output_dir, file->first) + " would be the output of " +
                        file->second + " and a folder for the output of " + input);
        return false;
      }
    }
  }
  return true;
}

// Makes the output folders, checks they can be written, and takes the
// output folder for this run: two runs writing to one folder at once would
// remove each other's unfinished files.
bool CorpusRun::PrepareFolders() {
  std::set<std::string> folders;
  for (const Job& job : jobs_) folders.insert(job.folder);
  folders.insert(options_.output_dir);
  for (const std::string& folder : folders) {
    int error = MakeFolders(folder);
    if (error == 0 && access(folder.c_str(), W_OK | X_OK) != 0) error = errno;
    if (error != 0) {
      console_.Refuse(folder + ": " + std::strerror(error));
      return false;
    }
  }
  lock_fd_ = open(options_.output_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (lock_fd_ < 0 || flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    console_.Refuse(
        options_.output_dir + ": " +
        (error == EWOULDBLOCK ? "another ptsplit run is writing there" : std::strerror(error)));
    return false;
  }
  for (const std::string& folder : folders) RemoveStaleTemps(folder);
  return true;
}

// Unfinished outputs of a run that was killed.
void CorpusRun::RemoveStaleTemps(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const bool temp = name.size() == kTempNameLength ||
                      (name.size() == kTempNameLength + sizeof kOldSuffix - 1 &&
                       name.compare(kTempNameLength, std::string::npos, kOldSuffix) == 0);
    if (temp && name.compare(0, sizeof kTempPrefix - 1, kTempPrefix) == 0) {
      unlinkat(dirfd(dir), name.c_str(), 0);
    }
  }
  closedir(dir);
}

// Leaves out the inputs whose output is at least as new as they are.
bool CorpusRun::DropFinished() {
  std::vector<Job> left;
  for (Job& job : jobs_) {
    struct stat st;
    if (lstat(job.output.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) {
        console_.Refuse(job.output + ": is a folder, cannot hold the output of " + job.input);
        return false;
      }
      if (!options_.force && NotOlder(st.st_mtim, job.mtime)) {
        ++up_to_date_;
        continue;
      }
    }
    total_bytes_ += job.size;
    left.push_back(std::move(job));
  }
  jobs_ = std::move(left);
  return true;
}

void CorpusRun::Work() {
  // One set of buffers for all the files of a thread: allocating them
  // anew for each file costs as much as splitting a small one.
  Output output(-1);
  Splitter splitter(options_.format, {options_.encoding, options_.paragraphs}, &output, false);
  splitter.set_warn([this](const std::string& name, const std::string& warning) {
    console_.Complain(name, warning);
  });
  for (;;) {
    const std::size_t index = next_job_++;
    if (index >= jobs_.size() || stop_) break;
    Split(jobs_[index], &output, &splitter);
    ++jobs_done_;
  }
  std::lock_guard<std::mutex> lock(done_mutex_);
  --threads_running_;
  done_.notify_all();
}

// Writes one output to a temporary file beside it, renamed when complete.
void CorpusRun::Split(const Job& job, Output* output, Splitter* splitter) {
  const int in = open(job.input.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    console_.Complain(job.input, std::strerror(errno));
    Fail(1);
    return;
  }
  std::string temp = Join(job.folder, kTempPrefix) + "XXXXXX";
  const int out = mkstemp(&temp[0]);
  if (out < 0) {
    console_.Complain(job.folder, std::strerror(errno));
    Fail(2);
    stop_ = true;
    close(in);
    return;
  }
  int status = 0;
  try {
    output->Reopen(out);
    splitter->Begin();
    const std::string error = splitter->Split(in, job.input, &bytes_done_, false);
    splitter->End();
    output->Flush();
    if (fchmod(out, file_mode_) != 0) throw WriteError{errno};
    if (!error.empty()) {
      console_.Complain(job.input, error.c_str());
      status = 1;
    }
  } catch (const WriteError& e) {
    console_.Complain(job.output, std::strerror(e.error));
    status = 2;
    stop_ = true;
  } catch (const ptseg::Error& e) {
    console_.Complain(job.input, e.what());
    status = 2;
  } catch (const std::bad_alloc&) {
    console_.Complain(job.input, "out of memory");
    status = 2;
  }
  close(in);
  if (close(out) != 0 && status == 0) {
    console_.Complain(job.output, std::strerror(errno));
    status = 2;
  }
  if (status == 0) {
    if (const int error = Replace(temp, job.output)) {
      console_.Complain(job.output, std::strerror(error));
      status = 2;
    }
  }
  if (status != 0) {
    unlink(temp.c_str());
    Fail(status);
  }
}

// "ptsplit: 12/159 files, 3.4/22.0 MB, 45.2 MB/s, 0:03 left"
void CorpusRun::ShowProgress(std::chrono::steady_clock::time_point start) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::uint64_t done = std::min<std::uint64_t>(bytes_done_, total_bytes_);
  std::string line = "ptsplit: " + std::to_string(jobs_done_.load()) + "/" +
                     std::to_string(jobs_.size()) + " files";
  if (up_to_date_ != 0) line += " (" + std::to_string(up_to_date_) + " up to date)";
  line += ", " + Megabytes(done) + "/" + Megabytes(total_bytes_) + " MB";
  if (seconds > 0 && done > 0) {
    const double rate = static_cast<double>(done) / seconds;
    const auto left =
        static_cast<unsigned long>(static_cast<double>(total_bytes_ - done) / rate + 0.5);
    char text[64];
    std::snprintf(text, sizeof text, ", %.1f MB/s, %lu:%02lu left", rate / 1e6, left / 60,
                  left % 60);
    line += text;
  }
  console_.Redraw(line);
}

}  // namespace

int RunCorpus(const CorpusOptions& options) {
  CorpusRun run(options);
  return run.Run();
}

}  // namespace ptsplit
