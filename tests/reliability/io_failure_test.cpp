// A failure injected at each file-system call of a rewrite: reported as documented, every file
// is then its old or new version, and no temporary file is left.
#include <authentication/no_remote_authentication_store.h>
#include <authentication/qap_thumbprint_store.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "reliability_fixture.h"

// Exported stand-ins for the file-system calls of the library and the C++ streams; on a thread
// holding an Injector each call is counted and the chosen one fails.
namespace fault_injection {

// kStat counts stat and lstat.
enum Call { kTemp, kFopen, kWrite, kChmod, kFsync, kClose, kRename, kOpen, kRead, kStat, kChown };
constexpr int kKinds = kChown + 1;
struct Kind {
    char const* name;
    int error;
} const kKind[kKinds] = {{"mkostemp", EROFS}, {"fopen64", EMFILE}, {"write", ENOSPC},
                         {"fchmod", EPERM},   {"fsync", EIO},      {"close", EIO},
                         {"rename", EXDEV},   {"open", EMFILE},    {"read", EIO},
                         {"stat", EACCES},    {"fchown", EIO}};

struct Injector {
    inline static thread_local Injector* current = nullptr;
    Injector() { current = this; }
    ~Injector() { current = nullptr; }
    void Fail(Call call, unsigned nth) {  // the nth call of that kind, from 1; 0: none
        counts.fill(0), failing = call, failAt = nth, injected = false;
    }
    std::array<unsigned, kKinds> counts{};
    Call failing = kTemp;
    unsigned failAt = 0;
    bool injected = false;
};

bool Trip(Call call) {
    Injector* const in = Injector::current;
    if (!in || ++in->counts[call] != in->failAt || call != in->failing) return false;
    errno = kKind[call].error;
    return in->injected = true;
}

}  // namespace fault_injection

// With 64-bit offsets on a 32-bit host, the headers rename open, stat and lstat to *64.
constexpr bool k64 = sizeof(long) == 4 && sizeof(off_t) == 8;

#define STAND_IN(Type, name, symbol, kind, failed, parameters, ...)                              \
    extern "C" __attribute__((visibility("default"))) Type name parameters {                     \
        static auto const next = reinterpret_cast<Type(*) parameters>(dlsym(RTLD_NEXT, symbol)); \
        return fault_injection::Trip(fault_injection::kind) ? failed : next(__VA_ARGS__);        \
    }

STAND_IN(FILE*, fopen64, "fopen64", kFopen, nullptr, (char const* p, char const* m), p, m)
STAND_IN(int, mkostemp, "mkostemp", kTemp, -1, (char* name, int flags), name, flags)
STAND_IN(ssize_t, write, "write", kWrite, -1, (int fd, void const* d, size_t n), fd, d, n)
STAND_IN(int, fchmod, "fchmod", kChmod, -1, (int fd, mode_t mode), fd, mode)
STAND_IN(int, fsync, "fsync", kFsync, -1, (int fd), fd)
STAND_IN(int, rename, "rename", kRename, -1, (char const* from, char const* to), from, to)
STAND_IN(ssize_t, read, "read", kRead, -1, (int fd, void* d, size_t n), fd, d, n)
STAND_IN(int, stat, k64 ? "stat64" : "stat", kStat, -1, (char const* p, struct stat* s), p, s)
STAND_IN(int, lstat, k64 ? "lstat64" : "lstat", kStat, -1, (char const* p, struct stat* s), p, s)
STAND_IN(int, fchown, "fchown", kChown, -1, (int fd, uid_t owner, gid_t group), fd, owner, group)

// A close that reports an error has still released the descriptor.
extern "C" __attribute__((visibility("default"))) int close(int fd) {
    static auto const next = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "close"));
    bool const fail = fault_injection::Trip(fault_injection::kClose);
    int const rc = next(fd);
    return fail ? (errno = EIO, -1) : rc;
}

extern "C" __attribute__((visibility("default"))) int open(char const* path, int flags, ...) {
    static auto const next =
        reinterpret_cast<int (*)(char const*, int, ...)>(dlsym(RTLD_NEXT, k64 ? "open64" : "open"));
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, unsigned));
        va_end(arguments);
    }
    return fault_injection::Trip(fault_injection::kOpen) ? -1 : next(path, flags, mode);
}

using namespace ostrel::authentication;
using namespace reliability;
using namespace fault_injection;

namespace {

using IOFailureTest = ReliabilityTest;

TEST_F(IOFailureTest, AFailureAtAnyCallLeavesOldOrNewFilesOnly) {
    ActiveDirectoryStore store(60);
    NoRemoteAuthenticationStore none;
    store.MakeActive();
    Files const active = Snapshot();
    none.MakeActive();
    Files const inactive = Snapshot();
    struct Operation {
        char const* name;
        Files const& before;
        std::function<void()> call;
    } const operations[] = {
        {"MakeActive", inactive, [&] { store.MakeActive(); }},
        {"MakeInactive", active, [&] { store.MakeInactive(); }},
        {"None.MakeActive", active, [&] { none.MakeActive(); }},
        {"ImportThumbprint", inactive,
         [] { QAPThumbprintStore(kThumbprints).ImportThumbprint("EF:01", "192.0.2.9"); }}};
    auto const restore = [](Files const& files) {
        for (auto const& [path, file] : files) sandbox::WriteFile(path, file.first, file.second);
    };
    unsigned injected = 0;
    for (Operation const& operation : operations) {
        // What the operation writes when nothing fails, and which calls it makes.
        restore(operation.before);
        fault_injection::Injector counting;
        operation.call();
        auto const counts = counting.counts;
        Files const after = Snapshot();
        for (int call = 0; call < kKinds; ++call) {
            for (unsigned nth = 1; nth <= counts[call]; ++nth, ++injected) {
                Call const kind = static_cast<Call>(call);
                SCOPED_TRACE(std::string(operation.name) + ": " + kKind[kind].name + " #" +
                             std::to_string(nth));
                restore(operation.before);
                counting.Fail(kind, nth);
                std::string const thrown = WhatThrown(operation.call);
                ASSERT_TRUE(counting.injected) << thrown;
                counting.Fail(kind, 0);
                // A failure that changes nothing may go unreported (closing a file read).
                if (thrown == "(returned)") {
                    EXPECT_TRUE(Snapshot() == after);
                    continue;
                }
                bool const permissions =
                    thrown.rfind(Named(typeid(FilePermissionError), ""), 0) == 0;
                // Switching to None reads provider.conf; unreadable, no provider is installed.
                EXPECT_TRUE(permissions || thrown.rfind(Named(typeid(IOError), ""), 0) == 0 ||
                            thrown == Named(typeid(InvalidActiveDirectoryProviderException),
                                            "The specified Active Directory provider '(none "
                                            "installed)' is invalid"))
                    << thrown;
                // Creating or writing the new version names the target and the error.
                std::string const what = kind == kTemp
                                             ? "Unable to create temporary file to write '"
                                             : "Unable to write '";
                bool named = kind != kTemp && kind != kWrite;
                for (auto const& [path, file] : after) {
                    named |=
                        !(file == operation.before.at(path)) &&
                        thrown == Named(typeid(IOError),
                                        what + path + "': " + std::strerror(kKind[kind].error));
                }
                EXPECT_TRUE(named) << thrown;
                // Only a failed rename leaves its temporary file: complete, the new version.
                std::vector<std::string> const left = Temporaries();
                ASSERT_EQ(kind == kRename ? 1u : 0u, left.size());
                if (kind == kRename) {
                    EXPECT_EQ(after.at(left[0].substr(0, left[0].size() - 7)).first,
                              sandbox::ReadFile(left[0]));
                    unlink(left[0].c_str());
                }
                Files const now = Snapshot();
                ASSERT_EQ(after.size(), now.size());
                for (auto const& [path, file] : now) {
                    // Or, when the bits cannot be carried over, the new content owner-only.
                    EXPECT_TRUE(
                        file == operation.before.at(path) || file == after.at(path) ||
                        (permissions && file.second == 0600 && file.first == after.at(path).first))
                        << path;
                }
                // Switching is all-or-nothing: the record and the PAM file agree.
                if (std::string(operation.name).find("MakeActive") != std::string::npos) {
                    EXPECT_EQ(now.at(kPAM).first != operation.before.at(kPAM).first,
                              now.at(kConf).first != operation.before.at(kConf).first);
                }
            }
        }
    }
    EXPECT_LT(80u, injected);
}

}  // namespace
