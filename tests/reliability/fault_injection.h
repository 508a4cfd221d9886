#ifndef TESTS_RELIABILITY_FAULT_INJECTION_H
#define TESTS_RELIABILITY_FAULT_INJECTION_H

// The reliability test program stands in for the file-system calls that the library and the
// C++ file streams make (the program exports them, so both bind to these). They pass through
// to the C library, except on a thread that holds an Injector: there every call is counted,
// and the one call chosen fails with the chosen error number.
#include <array>

namespace fault_injection {

// kStat counts stat and lstat.
enum Call { kTemp, kFopen, kWrite, kChmod, kFsync, kClose, kRename, kOpen, kRead, kStat, kChown };
constexpr int kCallKinds = kChown + 1;
char const* const kNames[kCallKinds] = {"mkostemp", "fopen64", "write", "fchmod", "fsync", "close",
                                        "rename",   "open",    "read",  "stat",   "fchown"};

class Injector {
public:
    Injector();  // counts the calls of this thread from now on
    ~Injector();
    Injector(Injector const&) = delete;
    Injector& operator=(Injector const&) = delete;

    // Makes the nth call (from 1; 0: none) of that kind fail with `error`, counting anew.
    void FailCall(Call call, unsigned nth, int error) {
        counts.fill(0);
        failing = call, failAt = nth, failError = error, injected = false;
    }
    unsigned Count(Call call) const { return counts[call]; }
    bool Injected() const { return injected; }
    // Counts the call and says whether it is the one to fail.
    bool Trip(Call call, int& error) {
        if (++counts[call] != failAt || call != failing) return false;
        return error = failError, injected = true;
    }

private:
    std::array<unsigned, kCallKinds> counts{};
    Call failing = kTemp;
    unsigned failAt = 0;
    int failError = 0;
    bool injected = false;
};

}  // namespace fault_injection

#endif
