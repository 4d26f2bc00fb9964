#include "cli/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

namespace ptsplit {
namespace {

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string Parent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const std::string trimmed = WithoutTrailingSlashes(path);
  const std::size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

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

bool Inside(const std::string& inner, const std::string& outer) {
  if (outer == "/") return true;
  return inner == outer ||
         (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
          inner[outer.size()] == '/');
}

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

bool Planner::Add(const std::vector<std::string>& inputs) {
  for (const std::string& argument : inputs) {
    if (argument == "-") {
      console_->Refuse("standard input cannot be split into an output folder (-o)");
      return false;
    }
  }
  for (const std::string& argument : inputs) {
    AddInput(argument);
    if (refused_) return false;
  }
  return CheckOutputPaths() && CheckOutputFolders();
}

void Planner::CannotRead(const std::string& path, int error) {
  console_->Complain(path, std::strerror(error));
  status_ = 1;
}

void Planner::AddInput(const std::string& argument) {
  struct stat st;
  if (stat(argument.c_str(), &st) != 0) return CannotRead(argument, errno);
  const std::string resolved = Resolve(argument);
  const bool folder = S_ISDIR(st.st_mode);
  // An output could overwrite an input, or a later run read outputs as
  // inputs.
  if (Inside(resolved, resolved_output_dir_)) {
    console_->Refuse("input " + argument + " is inside the output folder " + output_dir_);
    refused_ = true;
    return;
  }
  if (folder && Inside(resolved_output_dir_, resolved)) {
    console_->Refuse("output folder " + output_dir_ + " is inside the input folder " + argument);
    refused_ = true;
    return;
  }
  given_.push_back(Given{argument, resolved, folder});
  if (folder) {
    Walk(argument, "");
  } else {
    AddJob(argument, BaseName(argument), st);
  }
}

// Regular files under `folder`, recursively.  Hidden files and folders are
// left out, and symbolic links are not followed.
void Planner::Walk(const std::string& folder, const std::string& relative) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return CannotRead(folder, errno);
  // The folder is closed before going down into the ones inside it, so
  // that a deep tree does not hold a descriptor per level.
  std::vector<std::pair<std::string, struct stat>> entries;
  // readdir tells an error from the end only by errno.
  for (errno = 0; const dirent* entry = readdir(dir); errno = 0) {
    struct stat st;
    if (entry->d_name[0] == '.') continue;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      CannotRead(Join(folder, entry->d_name), errno);
      continue;
    }
    entries.emplace_back(entry->d_name, st);
  }
  const int error = errno;  // the files listed before it are still split
  closedir(dir);
  if (error != 0) CannotRead(folder, error);
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

void Planner::AddJob(const std::string& input, const std::string& relative, const struct stat& st) {
  const std::string output = Join(output_dir_, relative + suffix_);
  const auto [place, added] = relative_outputs_.emplace(relative + suffix_, input);
  if (!added) {
    console_->Refuse(place->second + " and " + input + " would both be written to " + output);
    refused_ = true;
    return;
  }
  jobs_.push_back(Job{input, output, Parent(output), static_cast<std::uint64_t>(st.st_size),
                      st.st_mtim, st.st_dev, st.st_ino, S_ISREG(st.st_mode)});
}

// No output may stand where another one needs a folder.
bool Planner::CheckOutputPaths() {
  for (const auto& [relative, input] : relative_outputs_) {
    for (std::size_t slash = relative.find('/'); slash != std::string::npos;
         slash = relative.find('/', slash + 1)) {
      const auto file = relative_outputs_.find(relative.substr(0, slash));
      if (file != relative_outputs_.end()) {
        console_->Refuse(Join(output_dir_, file->first) + " would be the output of " +
                         file->second + " and a folder for the output of " + input);
        return false;
      }
    }
  }
  return true;
}

// The folders under the output folder may be symbolic links: none may
// lead into an input folder, nor to an input, where an output could
// overwrite its input, or an input pass for its own output, up to date.
bool Planner::CheckOutputFolders() {
  std::set<std::string> folders;
  for (const Job& job : jobs_) folders.insert(job.folder);
  for (const std::string& folder : folders) {
    const std::string resolved = Resolve(folder);
    for (const Given& input : given_) {
      if (Inside(input.resolved, resolved)) {
        console_->Refuse("input " + input.argument + " is inside the output folder " + folder);
        return false;
      }
      if (input.folder && Inside(resolved, input.resolved)) {
        console_->Refuse("output folder " + folder + " is inside the input folder " +
                         input.argument);
        return false;
      }
    }
  }
  return true;
}

}  // namespace ptsplit
