#include "test_plugins.h"

#include <dlfcn.h>

#include <array>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "plugin_hooks.h"
#include "sandbox.h"

namespace test_plugins {

namespace {

// Never destroyed: a worker thread may still call into the plug-in while the program exits.
struct Table {
    std::mutex mutex;
    std::condition_variable changed;
    std::array<Behaviour, 24> rows;  // by slot; room for the four extensions
    std::array<std::vector<ReceivedCall>, 24> received;
    unsigned active = 0;
    std::vector<void const*> returned, deallocated;
    std::map<void const*, std::function<void()>> outstanding;
}& table = *new Table;

template <class Read>
auto Locked(Read read) {
    std::lock_guard<std::mutex> lock(table.mutex);
    return read();
}

CString FromC(char const* text) {
    return text != nullptr ? CString(text) : std::nullopt;
}
char* Copy(CString const& text) {
    return text ? strdup(text->c_str()) : nullptr;
}

// Records the call, blocks while the row hangs and takes the next status.
Behaviour Enter(int slot, ReceivedCall call) {
    std::unique_lock<std::mutex> lock(table.mutex);
    table.received.at(slot).push_back(std::move(call));
    ++table.active;
    table.changed.wait(lock, [&] { return !table.rows[slot].hang; });
    Behaviour const row = table.rows[slot];
    auto& statuses = table.rows[slot].statuses;
    if (statuses.size() > 1) statuses.erase(statuses.begin());
    return row;
}

// Hands memory to the code under test, which owes it back unless it is NULL.
template <class T>
T* HandOut(T* pointer, std::function<void()> release) {
    std::lock_guard<std::mutex> lock(table.mutex);
    table.returned.push_back(pointer);
    if (pointer != nullptr) table.outstanding[pointer] = std::move(release);
    return pointer;
}

char* HandOutString(CString const& text) {
    char* copy = Copy(text);
    return HandOut(copy, [copy] { std::free(copy); });
}

template <class Entry, class Make, class Release>
Entry** HandOutArray(std::optional<std::vector<Make>> const& entries, Entry* (*make)(Make const&),
                     Release release) {
    if (!entries) return HandOut<Entry*>(nullptr, nullptr);
    std::size_t const count = entries->size();
    auto array = static_cast<Entry**>(std::calloc(count + 1, sizeof(Entry*)));
    for (std::size_t i = 0; i < count; ++i) array[i] = make((*entries)[i]);
    return HandOut(array, [array, count, release] {
        for (std::size_t i = 0; i < count; ++i) release(array[i]);
        std::free(array);
    });
}

ADDomainNames* MakeDomain(std::pair<CString, CString> const& names) {
    auto domain = static_cast<ADDomainNames*>(std::malloc(sizeof(ADDomainNames)));
    *domain = ADDomainNames{Copy(names.first), Copy(names.second)};
    return domain;
}

void Deallocate(void* pointer) {
    std::function<void()> release;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        table.deallocated.push_back(pointer);
        auto found = table.outstanding.find(pointer);
        if (found == table.outstanding.end()) return;  // NULL, twice, or never handed out
        release = std::move(found->second);
        table.outstanding.erase(found);
    }
    release();
}

std::uint32_t Answer(TestCall const& call) {
    if (call.slot == 19) {
        Deallocate(const_cast<char*>(call.in[0]));
        return 0;
    }
    ReceivedCall received;
    for (int i = 0; i < call.strings; ++i) received.strings.push_back(FromC(call.in[i]));
    if (call.credentials != nullptr) {
        received.strings.push_back(FromC(call.credentials->userName));
        received.strings.push_back(FromC(call.credentials->password));
    }
    received.credentials = call.credentials;
    if (call.array != nullptr) {
        received.array.emplace();
        for (auto entry = call.array; *entry != nullptr; ++entry) received.array->push_back(*entry);
    }
    received.verifyCertificate = call.verify;
    received.flags = call.flags;
    for (int i = 0; i < call.outs; ++i) received.outputsPresetNull &= *call.out[i] == nullptr;
    if (call.names != nullptr)
        received.outputsPresetNull = !call.names->dnsName && !call.names->netbiosName;
    Behaviour const row = Enter(call.slot, received);
    auto answer = [&](std::size_t i) {
        return row.answer && i < row.answer->size() ? (*row.answer)[i] : std::nullopt;
    };
    for (int i = 0; i < call.outs; ++i) *call.out[i] = HandOutString(answer(i));
    if (call.names != nullptr) {
        call.names->dnsName = HandOutString(answer(0));
        call.names->netbiosName = HandOutString(answer(1));
    }
    if (call.list != nullptr) *call.list = HandOutArray(row.answer, Copy, std::free);
    if (call.domains != nullptr) {
        *call.domains = HandOutArray(row.domains, MakeDomain, [](ADDomainNames* domain) {
            std::free(domain->dnsName);
            std::free(domain->netbiosName);
            std::free(domain);
        });
    }
    if (call.deallocator != nullptr && row.deallocator) *call.deallocator = Deallocate;
    std::lock_guard<std::mutex> lock(table.mutex);
    --table.active;
    table.changed.notify_all();
    return row.statuses.front();
}

void Reset() {
    std::unique_lock<std::mutex> lock(table.mutex);
    for (Behaviour& row : table.rows) row.hang = false;
    table.changed.notify_all();
    table.changed.wait(lock, [] { return table.active == 0; });
    for (auto& entry : table.outstanding) entry.second();
    table.outstanding.clear();
    table.returned.clear();
    table.deallocated.clear();
    table.rows.fill(Behaviour());
    for (auto& calls : table.received) calls.clear();
}

// Refuses to write below mountPoint unless the overlay last mounted there has its upper layer
// in this process's scratch directory, i.e. inside a running SandboxTest.
void RequireSandboxOverlay(std::string const& mountPoint) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string const upper = "upperdir=" + sandbox::ScratchDirectory() + "/";
    bool covered = false;
    for (std::string line, id, parent, device, root, point; std::getline(mounts, line);) {
        std::istringstream(line) >> id >> parent >> device >> root >> point;
        if (point == mountPoint) covered = line.find(upper) != std::string::npos;
    }
    if (!covered) throw std::runtime_error(mountPoint + " is not the sandbox's; use a SandboxTest");
}

void WriteConfiguration(std::string const& file, std::string const& name) {
    RequireSandboxOverlay("/etc");
    sandbox::WriteFile("/etc/ostrel/tslauth/" + file, "provider = " + name + "\n");
}

}  // namespace

ProviderScript::ProviderScript() {
    Reset();
}
ProviderScript::~ProviderScript() {
    Reset();
}

void ProviderScript::Edit(Slot slot, std::function<void(Behaviour&)> const& edit) {
    std::lock_guard<std::mutex> lock(table.mutex);
    edit(table.rows.at(slot));
    table.changed.notify_all();
}

std::vector<ReceivedCall> ProviderScript::Received(Slot slot) const {
    return Locked([&] { return table.received.at(slot); });
}
std::vector<void const*> ProviderScript::Returned() const {
    return Locked([] { return table.returned; });
}
std::vector<void const*> ProviderScript::Deallocated() const {
    return Locked([] { return table.deallocated; });
}
std::size_t ProviderScript::Outstanding() const {
    return Locked([] { return table.outstanding.size(); });
}

std::string InstallPlugin(Plugin plugin, std::string const& name, Location where) {
    char const* const built[] = {TSLAUTH_TEST_PLUGIN_SCRIPTED,    TSLAUTH_TEST_PLUGIN_EMPTY,
                                 TSLAUTH_TEST_PLUGIN_VERSION1,    TSLAUTH_TEST_PLUGIN_API4,
                                 TSLAUTH_TEST_PLUGIN_NO_METADATA, TSLAUTH_TEST_PLUGIN_NO_OPERATIONS,
                                 TSLAUTH_TEST_PLUGIN_NULL_MODULE, TSLAUTH_TEST_PLUGIN_LINE_BREAK,
                                 TSLAUTH_TEST_PLUGIN_OVERLONG,    TSLAUTH_TEST_PLUGIN_PROXY};
    RequireSandboxOverlay("/usr/libexec");
    std::string const path = std::string("/usr/libexec/tslauth/") +
                             (where == Location::kLibSubdirectory ? "lib/" : "") + "lib" + name +
                             ".so";
    sandbox::WriteFile(path, sandbox::ReadFile(built[static_cast<int>(plugin)]), 0755);
    return path;
}

void WriteProviderConfiguration(std::string const& name) {
    WriteConfiguration("provider.conf", name);
}
void WriteQAPProviderConfiguration(std::string const& name) {
    WriteConfiguration("qapprovider.conf", name);
}

bool IsLoaded(std::string const& path) {
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    return handle != nullptr && dlclose(handle) == 0;
}

static std::function<void()> nextLoad;
void OnNextLoad(std::function<void()> action) {
    nextLoad = std::move(action);
}

}  // namespace test_plugins

// Found by the scripted plug-in with dlsym(RTLD_DEFAULT, ...).
extern "C" __attribute__((visibility("default"))) void TslauthTestLoaded() {
    std::function<void()> action;
    action.swap(test_plugins::nextLoad);
    if (action) action();
}

extern "C" __attribute__((visibility("default"))) std::uint32_t TslauthTestCall(TestCall* call) {
    return test_plugins::Answer(*call);
}
