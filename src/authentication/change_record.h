#ifndef AUTHENTICATION_CHANGE_RECORD_H
#define AUTHENTICATION_CHANGE_RECORD_H

// The per-thread list behind GetLastHostChanges.
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace ostrel {
namespace authentication {

// Marks an operation that can change the host for its lifetime. The outermost one on a
// thread starts a new list; nested ones add to it.
class ChangeRecord {
public:
    ChangeRecord();
    ~ChangeRecord();
    ChangeRecord(ChangeRecord const&) = delete;
    ChangeRecord& operator=(ChangeRecord const&) = delete;
};

// Adds a line to the calling thread's list while a ChangeRecord is alive on it; a line
// already listed, an empty one and one outside any operation are dropped.
void NoteHostChange(std::string const& change);

// Notes "wrote PATH" (or "removed PATH") at the end of its lifetime for each file whose bytes
// then differ from those at its start: a file a failed operation put back counts as unchanged.
class WatchedFiles {
public:
    explicit WatchedFiles(std::initializer_list<char const*> paths);
    ~WatchedFiles();
    WatchedFiles(WatchedFiles const&) = delete;
    WatchedFiles& operator=(WatchedFiles const&) = delete;

private:
    struct Snapshot {
        char const* path;
        bool present;
        std::string content;
    };
    static Snapshot Take(char const* path);
    std::vector<Snapshot> before;
};

}  // namespace authentication
}  // namespace ostrel

#endif
