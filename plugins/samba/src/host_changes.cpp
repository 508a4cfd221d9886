#include "host_changes.h"

#include <map>
#include <mutex>
#include <thread>

namespace sambaprovider {

namespace {
// Keyed by thread rather than thread_local: a thread_local with a destructor would keep the
// plug-in loaded after dlclose for as long as the thread lives.
std::mutex lock;
std::map<std::thread::id, std::vector<std::string> > records;
}  // namespace

void StartChangeRecord() {
    std::lock_guard<std::mutex> hold(lock);
    records[std::this_thread::get_id()].clear();
}

void NoteChange(std::string const& change) {
    if (change.empty()) return;
    std::lock_guard<std::mutex> hold(lock);
    records[std::this_thread::get_id()].push_back(change);
}

std::vector<std::string> RecordedChanges() {
    std::lock_guard<std::mutex> hold(lock);
    auto found = records.find(std::this_thread::get_id());
    return found == records.end() ? std::vector<std::string>() : found->second;
}

}  // namespace sambaprovider
