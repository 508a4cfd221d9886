#include "plugin_script.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace test_plugins {

CString FromC(char const* text) {
    return text != nullptr ? CString(text) : std::nullopt;
}

ScriptCore::ScriptCore(int operations) : operations(operations + 1) {}

ScriptCore::Operation& ScriptCore::At(int operation) {
    if (operation < 1 || operation >= static_cast<int>(operations.size())) {
        throw std::out_of_range("no scripted operation " + std::to_string(operation));
    }
    return operations[operation];
}

ScriptCore::Operation const& ScriptCore::At(int operation) const {
    return const_cast<ScriptCore*>(this)->At(operation);
}

void ScriptCore::Reset() {
    std::unique_lock<std::mutex> lock(mutex);
    for (Operation& operation : operations) operation.hang = false;
    changed.notify_all();
    changed.wait(lock, [this] { return active == 0; });
    for (auto& entry : outstanding) entry.second();
    outstanding.clear();
    returned.clear();
    deallocated.clear();
    for (Operation& operation : operations) operation = Operation();
}

void ScriptCore::SetStatuses(int operation, std::vector<std::uint32_t> statuses) {
    if (statuses.empty()) throw std::invalid_argument("a script needs at least one status");
    std::lock_guard<std::mutex> lock(mutex);
    At(operation).statuses.assign(statuses.begin(), statuses.end());
}

void ScriptCore::SetOutputs(int operation, std::optional<std::vector<CString>> strings) {
    std::lock_guard<std::mutex> lock(mutex);
    At(operation).outputs.strings = std::move(strings);
}

void ScriptCore::SetPairs(int operation,
                          std::optional<std::vector<std::pair<CString, CString>>> pairs) {
    std::lock_guard<std::mutex> lock(mutex);
    At(operation).outputs.pairs = std::move(pairs);
}

void ScriptCore::SetGivesDeallocator(int operation, bool gives) {
    std::lock_guard<std::mutex> lock(mutex);
    At(operation).outputs.givesDeallocator = gives;
}

void ScriptCore::Hang(int operation) {
    std::lock_guard<std::mutex> lock(mutex);
    At(operation).hang = true;
}

void ScriptCore::Release(int operation) {
    std::lock_guard<std::mutex> lock(mutex);
    At(operation).hang = false;
    changed.notify_all();
}

void ScriptCore::WaitUntilBlocked(int operation, unsigned count) {
    std::unique_lock<std::mutex> lock(mutex);
    Operation& scripted = At(operation);
    changed.wait(lock, [&] { return scripted.blocked >= count; });
}

unsigned ScriptCore::Calls(int operation) const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<unsigned>(At(operation).received.size());
}

std::vector<ReceivedCall> ScriptCore::Received(int operation) const {
    std::lock_guard<std::mutex> lock(mutex);
    return At(operation).received;
}

std::vector<void const*> ScriptCore::Returned() const {
    std::lock_guard<std::mutex> lock(mutex);
    return returned;
}

std::vector<void const*> ScriptCore::Deallocated() const {
    std::lock_guard<std::mutex> lock(mutex);
    return deallocated;
}

std::size_t ScriptCore::Outstanding() const {
    std::lock_guard<std::mutex> lock(mutex);
    return outstanding.size();
}

ScriptCore::Entered ScriptCore::Enter(int operation, ReceivedCall call) {
    std::unique_lock<std::mutex> lock(mutex);
    Operation& scripted = At(operation);
    scripted.received.push_back(std::move(call));
    ++active;
    if (scripted.hang) {
        ++scripted.blocked;
        changed.notify_all();
        changed.wait(lock, [&] { return !scripted.hang; });
        --scripted.blocked;
    }
    Entered entered{scripted.statuses.front(), scripted.outputs};
    if (scripted.statuses.size() > 1) scripted.statuses.pop_front();
    return entered;
}

void ScriptCore::Leave() {
    std::lock_guard<std::mutex> lock(mutex);
    --active;
    changed.notify_all();
}

void ScriptCore::HandOut(void* pointer, std::function<void()> release) {
    std::lock_guard<std::mutex> lock(mutex);
    returned.push_back(pointer);
    if (pointer != nullptr) outstanding[pointer] = std::move(release);
}

char* ScriptCore::HandOutString(CString const& text) {
    char* copy = text ? strdup(text->c_str()) : nullptr;
    HandOut(copy, [copy] { std::free(copy); });
    return copy;
}

char** ScriptCore::HandOutArray(std::optional<std::vector<CString>> const& entries) {
    if (!entries) {
        HandOut(nullptr, nullptr);
        return nullptr;
    }
    std::size_t const count = entries->size();
    char** array = static_cast<char**>(std::calloc(count + 1, sizeof(char*)));
    for (std::size_t i = 0; i < count; ++i) {
        array[i] = (*entries)[i] ? strdup((*entries)[i]->c_str()) : nullptr;
    }
    HandOut(array, [array, count] {
        for (std::size_t i = 0; i < count; ++i) std::free(array[i]);
        std::free(array);
    });
    return array;
}

void ScriptCore::Deallocate(void* pointer) {
    std::function<void()> release;
    {
        std::lock_guard<std::mutex> lock(mutex);
        deallocated.push_back(pointer);
        auto found = outstanding.find(pointer);
        if (found == outstanding.end()) {
            // NULL, released twice, or never handed out: recorded for the test to see.
            return;
        }
        release = std::move(found->second);
        outstanding.erase(found);
    }
    release();
}

}  // namespace test_plugins
