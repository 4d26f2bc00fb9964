// Preloaded into ptsplit by test_ptsplit.py: readdir fails (EIO) once it
// has listed $READDIR_FAILS_AFTER entries, as on a failing disk.
#include <dirent.h>
#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>

extern "C" dirent* readdir(DIR* dir) {
  using Readdir = dirent* (*)(DIR*);
  static const auto next = reinterpret_cast<Readdir>(dlsym(RTLD_NEXT, "readdir"));
  static const char* const after = std::getenv("READDIR_FAILS_AFTER");
  static long listed = 0;
  if (after != nullptr && listed >= std::atol(after)) {
    errno = EIO;
    return nullptr;
  }
  ++listed;
  return next(dir);
}
