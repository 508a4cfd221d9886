#ifndef TESTS_RELIABILITY_FAULT_INJECTION_H
#define TESTS_RELIABILITY_FAULT_INJECTION_H

// The reliability test program stands in for the file-system calls that the library and the
// C++ file streams make (the program exports them, so both bind to these). They pass through
// to the C library, except on a thread that holds an Injector: there every call is counted,
// and the one call chosen fails with the chosen error number.

#include <array>
#include <string>

namespace fault_injection {

// kStat counts stat and lstat.
enum Call {
    kMkostemp,
    kFopen,
    kWrite,
    kFchmod,
    kFsync,
    kClose,
    kRename,
    kOpen,
    kRead,
    kStat,
    kFchown
};
constexpr int kCallKinds = kFchown + 1;
std::string NameOf(Call call);

class Injector {
public:
    // Counts the calls of the constructing thread from now on; injects nothing yet.
    Injector();
    ~Injector();
    Injector(Injector const&) = delete;
    Injector& operator=(Injector const&) = delete;

    // Makes the nth call (from 1) of that kind fail with `error`, counting from now on.
    void FailCall(Call call, unsigned nth, int error);
    unsigned Count(Call call) const { return counts[call]; }
    bool Injected() const { return injected; }

    // Plug-in side: counts the call and says whether it is the one to fail.
    bool Trip(Call call, int& error);

private:
    std::array<unsigned, kCallKinds> counts{};
    Call failing = kMkostemp;
    unsigned failAt = 0;  // 0: none
    int failError = 0;
    bool injected = false;
};

}  // namespace fault_injection

#endif
