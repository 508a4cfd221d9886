#ifndef DEMO_DIRECTORY_DIRECTORY_FILE_H
#define DEMO_DIRECTORY_DIRECTORY_FILE_H

#include <functional>

#include "directory_document.h"
#include "directory_model.h"

namespace demodirectory {

// Where both demo plug-ins find the directory.
extern char const kDirectoryPath[];

// Reads and checks the directory file. A missing file fails with kFileNotFound, an
// unreadable one with kAccessDenied or kInternalError, a malformed one with kInternalError;
// each with a text naming the file.
Directory ReadDirectory();

// ReadDirectory, but while the directory is switched to unresponsive this waits, looking at
// the file again every 100 milliseconds, until it answers.
Directory AwaitDirectory();

// Runs `change` on the current file while no other thread of this process and no other process
// using this function can change it, and replaces the file atomically with the changed
// document when `change` returns true. A failure thrown by `change` leaves the file as it was.
void UpdateDirectory(
    std::function<bool(DirectoryDocument& document, Directory const& directory)> const& change);

}  // namespace demodirectory

#endif
