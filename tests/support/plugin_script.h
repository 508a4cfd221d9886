#ifndef TESTS_SUPPORT_PLUGIN_SCRIPT_H
#define TESTS_SUPPORT_PLUGIN_SCRIPT_H

// The machinery behind the scripted test plug-ins (tests/plugins): per operation a queue of
// statuses, the outputs to hand back, an optional hang, and a record of every call; plus the
// memory handed to the code under test and what it released. The plug-ins forward each call
// to the test program, so all of this lives here and survives the plug-in being reloaded.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace test_plugins {

// A string crossing the plug-in boundary; std::nullopt stands for NULL.
using CString = std::optional<std::string>;
CString FromC(char const* text);

// What one call of a scripted operation received.
struct ReceivedCall {
    std::vector<CString> strings;                   // the string arguments in the operation's order
    std::optional<std::vector<std::string>> array;  // an array argument; nullopt when NULL
    void const* credentials = nullptr;              // the Credentials pointer as passed (provider)
    std::int32_t verifyCertificate = 0;             // the verify flag (proxy client)
    bool outputsPresetNull = true;                  // every out-parameter was NULL on entry
};

class ScriptCore {
public:
    // What an operation hands back besides its status.
    struct Outputs {
        std::optional<std::vector<CString>> strings;  // string, pair or array results
        std::optional<std::vector<std::pair<CString, CString>>> pairs;
        bool givesDeallocator = true;
    };
    struct Entered {
        std::uint32_t status;
        Outputs outputs;
    };

    explicit ScriptCore(int operations);

    // Releases every hang, waits for the calls in flight to leave, frees what the code under
    // test never released and forgets the script and the records.
    void Reset();

    void SetStatuses(int operation, std::vector<std::uint32_t> statuses);
    void SetOutputs(int operation, std::optional<std::vector<CString>> strings);
    void SetPairs(int operation, std::optional<std::vector<std::pair<CString, CString>>> pairs);
    void SetGivesDeallocator(int operation, bool gives);
    void Hang(int operation);
    void Release(int operation);
    void WaitUntilBlocked(int operation, unsigned count);

    unsigned Calls(int operation) const;
    std::vector<ReceivedCall> Received(int operation) const;
    std::vector<void const*> Returned() const;
    std::vector<void const*> Deallocated() const;
    std::size_t Outstanding() const;

    // Plug-in side. Enter records the call, blocks while the operation hangs and takes the
    // next status; Leave ends the call.
    Entered Enter(int operation, ReceivedCall call);
    void Leave();
    // Hands memory to the code under test: recorded as returned and, unless NULL, as
    // outstanding until Deallocate is called with it.
    void HandOut(void* pointer, std::function<void()> release);
    char* HandOutString(CString const& text);
    char** HandOutArray(std::optional<std::vector<CString>> const& entries);
    void Deallocate(void* pointer);

private:
    struct Operation {
        std::deque<std::uint32_t> statuses{0};
        Outputs outputs;
        bool hang = false;
        unsigned blocked = 0;
        std::vector<ReceivedCall> received;
    };

    Operation& At(int operation);
    Operation const& At(int operation) const;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<Operation> operations;
    unsigned active = 0;
    std::vector<void const*> returned;
    std::vector<void const*> deallocated;
    std::map<void const*, std::function<void()>> outstanding;
};

}  // namespace test_plugins

#endif
