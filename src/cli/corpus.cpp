#include "cli/corpus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
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
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "cli/console.h"
#include "cli/paths.h"
#include "cli/temps.h"

namespace ptsplit {
namespace {

// Outputs are named by format: the input's name with one of these added.
// Markup keeps the input's name: it is the input's text with tags in it.
const char* Suffix(Format format) {
  switch (format) {
    case Format::kMarkup:
      return "";
    case Format::kLines:
      return ".txt";
    case Format::kJsonl:
      return ".jsonl";
    case Format::kXml:
      return ".xml";
  }
  return "";
}

// Each output records the options it was made with in this extended
// attribute, "FORMAT ENCODING", then " blank-lines" for those paragraphs,
// where the file system keeps them.
constexpr char kOptionsAttribute[] = "user.ptsplit.options";

std::string OptionsRecord(const CorpusOptions& options) {
  static const char* const kFormats[] = {"markup", "lines", "jsonl", "xml"};
  std::string record = std::string(kFormats[static_cast<int>(options.format)]) + " " +
                       ptseg::EncodingName(options.encoding);
  if (options.paragraphs == ptseg::Paragraphs::kBlankLines) record += " blank-lines";
  return record;
}

// Whether the output at `path` says it was made with other options; one
// that says nothing (no attributes kept there) is judged by its time alone.
bool MadeOtherwise(const std::string& path, const std::string& record) {
  char value[64];
  const ssize_t size = lgetxattr(path.c_str(), kOptionsAttribute, value, sizeof value);
  if (size < 0) return errno == ERANGE;
  return std::string(value, static_cast<std::size_t>(size)) != record;
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// What an input that is not the file the walk found, or that changed
// since it was opened, gets instead of an output.
constexpr char kChanged[] = "changed while being read; no output written";

// Whether the file at a path is still the one that was opened, as it was
// when opened.
bool Unchanged(const std::string& path, const struct stat& opened) {
  struct stat now;
  return stat(path.c_str(), &now) == 0 && now.st_dev == opened.st_dev &&
         now.st_ino == opened.st_ino && now.st_size == opened.st_size &&
         SameTime(now.st_mtim, opened.st_mtim);
}

// For the tests: with PTSPLIT_TEST_PAUSE naming a FIFO, each input, once
// opened and its temporary file made, waits until the FIFO has been opened for writing and closed,
// so that a test can change it while it is being split.
void PauseForTest(const char* fifo) {
  if (fifo == nullptr) return;
  const int fd = open(fifo, O_RDONLY | O_CLOEXEC);
  char byte;
  while (fd >= 0 && (read(fd, &byte, 1) > 0 || errno == EINTR)) {
  }
  if (fd >= 0) close(fd);
}

class CorpusRun {
 public:
  explicit CorpusRun(const CorpusOptions& options)
      : options_(options), console_(!options.quiet && isatty(STDERR_FILENO)) {}

  int Run();

 private:
  // Planning: everything here happens before any output is written.
  bool Plan();
  bool PrepareFolders();
  bool DropFinished();

  // The work.
  void Work();
  void Split(const Job& job, Output* output, Splitter* splitter);
  int WriteTemporary(const Job& job, int in, mode_t mode, int out, Output* output,
                     Splitter* splitter);
  int Install(const Job& job, const struct stat& opened, int out, const std::string& temp);
  void Fail(int status) {
    int now = status_.load();
    while (now < status && !status_.compare_exchange_weak(now, status)) {
    }
  }
  void ShowProgress(std::chrono::steady_clock::time_point start);

  const CorpusOptions& options_;
  Console console_;
  std::vector<Job> jobs_;
  std::size_t up_to_date_ = 0;
  std::uint64_t total_bytes_ = 0;
  mode_t file_mode_ = 0666;
  int lock_fd_ = -1;
  const char* pause_ = std::getenv("PTSPLIT_TEST_PAUSE");
  const std::string record_ = OptionsRecord(options_);

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
  workers.reserve(threads);
  threads_running_ = threads;
  unsigned started = 0;
  for (; started < threads; ++started) {
    try {
      workers.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      break;  // a limit on threads: those made do the work, or this one
    }
  }
  if (started < threads) {
    std::lock_guard<std::mutex> lock(done_mutex_);
    threads_running_ -= threads - std::max(started, 1u);
  }
  if (started == 0) Work();
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
  Planner planner(options_.output_dir, Suffix(options_.format), &console_);
  const bool planned = planner.Add(options_.inputs);
  Fail(planner.status());
  if (!planned) return false;
  jobs_ = std::move(planner.jobs());
  return PrepareFolders() && DropFinished();
}

// Makes the output folders, checks they can be written, takes the output
// folder for this run, and removes what stopped runs left in it.
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
  lock_fd_ = LockOutputFolder(options_.output_dir);
  if (lock_fd_ < 0) {
    const int error = errno;
    console_.Refuse(
        options_.output_dir + ": " +
        (error == EWOULDBLOCK ? "another ptsplit run is writing there" : std::strerror(error)));
    return false;
  }
  RemoveLeftoverTemporaries(options_.output_dir);
  return true;
}

// Leaves out the inputs whose output is up to date: an output carries the
// modification time its input had when it was read (see Install), so it is
// up to date while its input still has that time, and while it does not
// say it was made with other options.  Inputs that are not
// regular files, such as FIFOs, are always split.
bool CorpusRun::DropFinished() {
  std::vector<Job> left;
  for (Job& job : jobs_) {
    struct stat st;
    if (lstat(job.output.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) {
        console_.Refuse(job.output + ": is a folder, cannot hold the output of " + job.input);
        return false;
      }
      // An output that is its input (a hard link) has the input's time too;
      // one a run made is a regular file, never a symbolic link.
      const bool input = st.st_dev == job.device && st.st_ino == job.inode;
      if (!options_.force && job.regular && S_ISREG(st.st_mode) && !input &&
          SameTime(st.st_mtim, job.mtime) && !MadeOtherwise(job.output, record_)) {
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
  struct stat opened;
  if (in < 0 || fstat(in, &opened) != 0) {
    console_.Complain(job.input, std::strerror(errno));
    if (in >= 0) close(in);
    Fail(1);
    return;
  }
  // Not the file found: replaced since, or a symbolic link (which the walk
  // does not follow) put in its place or a folder's on the way to it.
  if (job.regular && (opened.st_dev != job.device || opened.st_ino != job.inode)) {
    console_.Complain(job.input, kChanged);
    close(in);
    Fail(1);
    return;
  }
  std::string temp;
  const int out = CreateTemporary(job.folder, &temp);
  if (out < 0) {
    console_.Complain(job.folder, std::strerror(errno));
    Fail(2);
    stop_ = true;
    close(in);
    return;
  }
  PauseForTest(pause_);
  // The output holds the input's text: none may read it who may not read
  // the input, as with cp.
  const mode_t mode = file_mode_ & (job.regular ? opened.st_mode : 0777);
  int status = WriteTemporary(job, in, mode, out, output, splitter);
  close(in);
  if (status == 0) status = Install(job, opened, out, temp);
  if (status != 0) unlink(temp.c_str());
  close(out);  // and with it the temporary file's lock
  Fail(status);
}

// Splits `in` into temporary file `out`, given `mode`; returns the exit
// status.
int CorpusRun::WriteTemporary(const Job& job, int in, mode_t mode, int out, Output* output,
                              Splitter* splitter) {
  try {
    output->Reopen(out);
    splitter->Begin();
    const std::string error = splitter->Split(in, job.input, &bytes_done_, false);
    splitter->End();
    output->Flush();
    if (fchmod(out, mode) != 0) throw WriteError{errno};
    if (!error.empty()) {
      console_.Complain(job.input, error);
      return 1;
    }
  } catch (const WriteError& e) {
    console_.Complain(job.output, std::strerror(e.error));
    stop_ = true;
    return 2;
  } catch (const ptseg::Error& e) {
    console_.Complain(job.input, e.what());
    return 2;
  } catch (const std::bad_alloc&) {
    console_.Complain(job.input, "out of memory");
    return 2;
  }
  return 0;
}

// Gives the complete temporary file its input's modification time as it
// was when opened, and renames it to the output; returns the exit status.
// An input that changed while it was read gets no output: what was read
// may be a mix of two versions.  A change after the check still shows at
// the next run, as the input's time is no longer the output's.
int CorpusRun::Install(const Job& job, const struct stat& opened, int out,
                       const std::string& temp) {
  // The temporary file stays locked through the rename: `out` is closed
  // after it, and a copy of it closed here reports a late write error.
  const int copy = dup(out);
  if (copy < 0 || close(copy) != 0) {
    console_.Complain(job.output, std::strerror(errno));
    return 2;
  }
  if (job.regular) {
    if (!Unchanged(job.input, opened)) {
      console_.Complain(job.input, kChanged);
      return 1;
    }
    // Where attributes are not kept, the output is judged by its time.
    fsetxattr(out, kOptionsAttribute, record_.data(), record_.size(), 0);
    const timespec times[2] = {{0, UTIME_OMIT}, opened.st_mtim};
    if (futimens(out, times) != 0) {
      console_.Complain(job.output, std::strerror(errno));
      return 2;
    }
  }
  if (const int error = Replace(temp, job.output)) {
    struct stat st;
    const bool removed = error == ENOENT && fstat(out, &st) == 0 && st.st_nlink == 0;
    console_.Complain(job.output, removed ? "its unfinished file " + BaseName(temp) +
                                                " was removed by another program"
                                          : std::strerror(error));
    return 2;
  }
  return 0;
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
  console_.Redraw(line + Speed(done, total_bytes_, seconds));
}

}  // namespace

int RunCorpus(const CorpusOptions& options) {
  CorpusRun run(options);
  return run.Run();
}

}  // namespace ptsplit
