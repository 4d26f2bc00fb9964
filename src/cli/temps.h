// ptsplit -o DIR: the lock on the output folder, and the temporary files
// outputs are written to before they are renamed.
//
// A temporary file is named kTempPrefix and six more characters, in the
// folder of its output, and is locked (flock) by the run writing it from
// its creation until it is renamed or removed.  The lock goes with the
// run, however it ends: a temporary file nobody holds a lock on is left
// over from a run that was stopped, and may be removed; one that is
// locked belongs to a live run, whichever folder that run was given.
#pragma once

#include <string>

namespace ptsplit {

// Takes `folder` for this run: two runs given the same output folder
// would write the same outputs at once.  Returns the descriptor holding
// the lock, or -1 with errno set (EWOULDBLOCK: another run holds it).
int LockOutputFolder(const std::string& folder);

// Creates and locks a temporary file in `folder`; returns its descriptor
// and sets *path, or returns -1 with errno set.
int CreateTemporary(const std::string& folder, std::string* path);

// Renames `temp` to `output`; returns 0 or the errno value.
int Replace(const std::string& temp, const std::string& output);

// Removes the temporary files no live run holds, in `folder` and in every
// folder below it that is not hidden; symbolic links are not followed.
void RemoveLeftoverTemporaries(const std::string& folder);

}  // namespace ptsplit
