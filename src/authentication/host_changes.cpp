#include <authentication/host_changes.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>

#include "change_record.h"
#include "file_content.h"

namespace ostrel {
namespace authentication {

namespace {

struct ThreadRecord {
    int depth = 0;
    std::vector<std::string> changes;
};

// Keyed by thread rather than thread_local, so that nothing of the library is tied to the
// lifetime of a caller's threads.
std::mutex recordsLock;
std::map<std::thread::id, ThreadRecord> records;

}  // namespace

ChangeRecord::ChangeRecord() {
    std::lock_guard<std::mutex> hold(recordsLock);
    ThreadRecord& record = records[std::this_thread::get_id()];
    if (record.depth++ == 0) record.changes.clear();
}

ChangeRecord::~ChangeRecord() {
    std::lock_guard<std::mutex> hold(recordsLock);
    --records[std::this_thread::get_id()].depth;
}

void NoteHostChange(std::string const& change) {
    if (change.empty()) return;
    std::lock_guard<std::mutex> hold(recordsLock);
    auto found = records.find(std::this_thread::get_id());
    if (found == records.end() || found->second.depth == 0) return;
    std::vector<std::string>& changes = found->second.changes;
    if (std::find(changes.begin(), changes.end(), change) == changes.end()) {
        changes.push_back(change);
    }
}

std::vector<std::string> GetLastHostChanges() {
    std::lock_guard<std::mutex> hold(recordsLock);
    auto found = records.find(std::this_thread::get_id());
    return found == records.end() ? std::vector<std::string>() : found->second.changes;
}

WatchedFiles::Snapshot WatchedFiles::Take(char const* path) {
    Snapshot snapshot{path, false, std::string()};
    int error = 0;
    ReadFailure const failure = ReadFileContent(path, snapshot.content, error);
    // A file that cannot be read is taken as missing: what matters is that it changes.
    snapshot.present = failure == ReadFailure::None;
    if (!snapshot.present) snapshot.content.clear();
    return snapshot;
}

WatchedFiles::WatchedFiles(std::initializer_list<char const*> paths) {
    for (char const* path : paths) before.push_back(Take(path));
}

WatchedFiles::~WatchedFiles() {
    try {
        for (Snapshot const& old : before) {
            Snapshot const now = Take(old.path);
            if (now.present) {
                if (!old.present || now.content != old.content) {
                    NoteHostChange(std::string("wrote ") + old.path);
                }
            } else if (old.present) {
                NoteHostChange(std::string("removed ") + old.path);
            }
        }
    } catch (...) {
        // Telling what changed must never turn into a failure of the operation.
    }
}

}  // namespace authentication
}  // namespace ostrel
