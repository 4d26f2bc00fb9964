#include "cli/temps.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "cli/paths.h"

namespace ptsplit {
namespace {

// The names start with a dot, so a walk of the output folder skips them.
// The output a temporary file replaces is kept a moment under the
// temporary file's name and kOldSuffix (see Replace).
constexpr char kTempPrefix[] = ".ptsplit-";
constexpr char kOldSuffix[] = ".old";
constexpr std::size_t kPrefixLength = sizeof kTempPrefix - 1;
constexpr std::size_t kTempNameLength = kPrefixLength + 6;
constexpr std::size_t kOldNameLength = kTempNameLength + sizeof kOldSuffix - 1;

enum class Kind { kOther, kTemporary, kOld };

Kind KindOf(const std::string& name) {
  if (name.compare(0, kPrefixLength, kTempPrefix) != 0) return Kind::kOther;
  if (name.size() == kTempNameLength) return Kind::kTemporary;
  if (name.size() == kOldNameLength &&
      name.compare(kTempNameLength, std::string::npos, kOldSuffix) == 0) {
    return Kind::kOld;
  }
  return Kind::kOther;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes temporary file `name` in `dir` if no run holds its lock.  The
// lock is held while checking that the name is still that file's, so that
// a run creating a file of that name meanwhile sees its file was removed
// (CreateTemporary).
void RemoveIfLeftOver(int dir, const char* name) {
  const int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat held, named;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
      fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(held, named)) {
    unlinkat(dir, name, 0);
  }
  close(fd);
}

}  // namespace

int LockOutputFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

int CreateTemporary(const std::string& folder, std::string* path) {
  for (;;) {
    std::string temp = Join(folder, kTempPrefix) + "XXXXXX";
    const int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (flock(fd, LOCK_EX) != 0 || fstat(fd, &st) != 0) {
      const int error = errno;
      close(fd);
      unlink(temp.c_str());
      errno = error;
      return -1;
    }
    // Another run's sweep may have taken the file between its creation and
    // the lock, and removed it: then try another name.
    if (st.st_nlink > 0) {
      *path = std::move(temp);
      return fd;
    }
    close(fd);
  }
}

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

void RemoveLeftoverTemporaries(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  // As in the walk of the inputs, the folder is closed before going down.
  std::vector<std::string> folders;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    switch (KindOf(name)) {
      case Kind::kTemporary:
        RemoveIfLeftOver(dirfd(dir), entry->d_name);
        continue;
      case Kind::kOld:  // only ever a second name of an output replaced
        unlinkat(dirfd(dir), entry->d_name, 0);
        continue;
      case Kind::kOther:
        break;
    }
    if (name[0] == '.') continue;
    bool folder_entry = entry->d_type == DT_DIR;
    struct stat st;
    if (entry->d_type == DT_UNKNOWN &&
        fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      folder_entry = S_ISDIR(st.st_mode);
    }
    if (folder_entry) folders.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : folders) RemoveLeftoverTemporaries(Join(folder, name));
}

}  // namespace ptsplit
