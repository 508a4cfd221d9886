#include "last_error.h"

#include <plugin_results.h>

#include <map>
#include <mutex>
#include <thread>

#include "statuses.h"

namespace sambaprovider {

using pluginresults::CopyString;
using pluginresults::FreeString;

namespace {
// Keyed by thread rather than thread_local: a thread_local with a destructor would keep the
// plug-in loaded after dlclose for as long as the thread lives.
std::mutex lock;
std::map<std::thread::id, std::string> texts;
}  // namespace

void ClearLastError() {
    std::lock_guard<std::mutex> hold(lock);
    texts.erase(std::this_thread::get_id());
}

void SetLastError(std::string const& text) {
    std::lock_guard<std::mutex> hold(lock);
    if (text.empty()) {
        texts.erase(std::this_thread::get_id());
    } else {
        texts[std::this_thread::get_id()] = text;
    }
}

ADStatus GetLastErrorText(char** text, ADDeallocator* deallocator) {
    if (text == nullptr || deallocator == nullptr) return kInvalidParameter;
    *deallocator = FreeString;
    *text = nullptr;
    std::lock_guard<std::mutex> hold(lock);
    auto const found = texts.find(std::this_thread::get_id());
    if (found == texts.end()) return 0;
    *text = CopyString(found->second);
    return *text == nullptr ? 8 : 0;
}

}  // namespace sambaprovider
