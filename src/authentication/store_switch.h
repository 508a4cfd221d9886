#ifndef AUTHENTICATION_STORE_SWITCH_H
#define AUTHENTICATION_STORE_SWITCH_H

#include <sys/types.h>

#include <functional>
#include <string>

#include "paths.h"

namespace ostrel {
namespace authentication {

// The files a switch of the active store edits.
using paths::kPAMFile;
using paths::kRecordFile;

// Replaces the file's content atomically; the old file's permission bits are kept. Throws
// IOError.
void ReplaceFile(char const* path, std::string const& content);

// A file's content and permission bits, to put back after a failed switch.
struct FileSnapshot {
    char const* path;
    std::string content;
    mode_t mode;
};
// Throws IOError ("Cannot open '<path>': ..." or "Cannot read ...") when the file cannot be
// read whole.
FileSnapshot TakeSnapshot(char const* path);
// Puts the snapshot back where the file now differs from it: a replacement may be in place
// although its failure was reported (the permission bits or the directory could not be
// synced), so the file is compared, not assumed.
void RestoreIfChanged(FileSnapshot const& snapshot);

// Runs `change`; when it throws, runs `undo` and lets the change's exception go on. When the
// undo fails too, the IOError thrown says both, since the files now disagree.
void UndoIfFails(std::function<void()> const& change, std::function<void()> const& undo);

}  // namespace authentication
}  // namespace ostrel

#endif
