// Writes that the file system refuses (full, read-only, no write permission) and failures
// injected at every file-system call of a rewrite: each is reported with the documented
// exception, and every file is then exactly its old or its new version, with no temporary
// file left (but the complete one a failed rename leaves, as documented).
#include <authentication/no_remote_authentication_store.h>
#include <authentication/qap_thumbprint_store.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <optional>

#include "capabilities.h"
#include "reliability_fixture.h"

// The reliability test program stands in for the file-system calls that the library and the
// C++ file streams make (the program exports them, so both bind to these). They pass through
// to the C library, except on a thread that holds an Injector: there every call is counted,
// and the one call chosen fails with the chosen error number.
namespace fault_injection {

// kStat counts stat and lstat.
enum Call { kTemp, kFopen, kWrite, kChmod, kFsync, kClose, kRename, kOpen, kRead, kStat, kChown };
constexpr int kCallKinds = kChown + 1;
char const* const kNames[kCallKinds] = {"mkostemp", "fopen64", "write", "fchmod", "fsync", "close",
                                        "rename",   "open",    "read",  "stat",   "fchown"};

struct Injector;
thread_local Injector* current = nullptr;

// Counts the calls of the thread that makes it; the nth call (from 1; 0: none) of the kind
// chosen fails with the error chosen.
struct Injector {
    Injector() { current = this; }
    ~Injector() { current = nullptr; }
    void FailCall(Call call, unsigned nth, int error) {
        counts.fill(0);
        failing = call, failAt = nth, failError = error, injected = false;
    }
    std::array<unsigned, kCallKinds> counts{};
    Call failing = kTemp;
    unsigned failAt = 0;
    int failError = 0;
    bool injected = false;
};

bool Trip(Call call, int& error) {
    Injector* const injector = current;
    if (!injector || ++injector->counts[call] != injector->failAt || call != injector->failing)
        return false;
    error = injector->failError;
    return injector->injected = true;
}

// With 64-bit file offsets on a 32-bit host, open, stat and lstat are emitted as open64, stat64
// and lstat64 (the headers rename them), so they pass on to those, not to the 32-bit calls.
constexpr bool k64 = sizeof(long) == 4 && sizeof(off_t) == 8;

}  // namespace fault_injection

// A stand-in that fails with the injected error or passes on to the C library's call.
#define STAND_IN(Type, name, symbol, kind, failed, parameters, ...)                              \
    extern "C" __attribute__((visibility("default"))) Type name parameters {                     \
        static auto const next = reinterpret_cast<Type(*) parameters>(dlsym(RTLD_NEXT, symbol)); \
        int error = 0;                                                                           \
        if (fault_injection::Trip(fault_injection::kind, error)) return errno = error, failed;   \
        return next(__VA_ARGS__);                                                                \
    }

STAND_IN(int, mkostemp, "mkostemp", kTemp, -1, (char* name, int flags), name, flags)
STAND_IN(FILE*, fopen64, "fopen64", kFopen, nullptr, (char const* path, char const* mode), path,
         mode)
STAND_IN(ssize_t, write, "write", kWrite, -1, (int fd, void const* data, size_t size), fd, data,
         size)
STAND_IN(int, fchmod, "fchmod", kChmod, -1, (int fd, mode_t mode), fd, mode)
STAND_IN(int, fsync, "fsync", kFsync, -1, (int fd), fd)
STAND_IN(int, rename, "rename", kRename, -1, (char const* from, char const* to), from, to)
STAND_IN(ssize_t, read, "read", kRead, -1, (int fd, void* data, size_t size), fd, data, size)
STAND_IN(int, stat, fault_injection::k64 ? "stat64" : "stat", kStat, -1,
         (char const* path, struct stat* info), path, info)
STAND_IN(int, lstat, fault_injection::k64 ? "lstat64" : "lstat", kStat, -1,
         (char const* path, struct stat* info), path, info)
STAND_IN(int, fchown, "fchown", kChown, -1, (int fd, uid_t owner, gid_t group), fd, owner, group)

// A close that reports an error has still released the descriptor.
extern "C" __attribute__((visibility("default"))) int close(int fd) {
    static auto const next = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "close"));
    int error = 0;
    bool const fail = fault_injection::Trip(fault_injection::kClose, error);
    int const rc = next(fd);
    return fail ? (errno = error, -1) : rc;
}

extern "C" __attribute__((visibility("default"))) int open(char const* path, int flags, ...) {
    static auto const next = reinterpret_cast<int (*)(char const*, int, ...)>(
        dlsym(RTLD_NEXT, fault_injection::k64 ? "open64" : "open"));
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, unsigned));
        va_end(arguments);
    }
    int error = 0;
    if (fault_injection::Trip(fault_injection::kOpen, error)) return errno = error, -1;
    return next(path, flags, mode);
}

using namespace ostrel::authentication;
using namespace reliability;
using fault_injection::Call;

namespace {

class IOFailureTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        sandbox::WriteFile(kConf, kNone, 0644);
        sandbox::WriteFile(kPAM, kRedHatStyle, 0640);
        sandbox::WriteFile(kThumbprints, "192.0.2.1 = \"AB:CD\"\n", 0600);
        ActiveDirectoryStore(60).MakeActive();
        activePAM = sandbox::ReadFile(kPAM);
        activeConf = sandbox::ReadFile(kConf);
        NoRemoteAuthenticationStore().MakeActive();
        noneConf = sandbox::ReadFile(kConf);
    }
    static void Restore(Files const& files) {
        for (auto const& file : files)
            sandbox::WriteFile(file.first, file.second.content, file.second.mode);
    }

    std::string activePAM, activeConf, noneConf;
    std::function<void()> const import = [] {
        QAPThumbprintStore(kThumbprints).ImportThumbprint("EF:01", "192.0.2.9");
    };
};

}  // namespace

// Each refusal on a small tmpfs over the directory of the file written. A full file system
// accepts the temporary file but not its content. The PAM file is replaced first and put back
// when the record cannot be written, and the record goes back when the PAM file cannot.
TEST_F(IOFailureTest, RefusedWritesLeaveEveryFileAsItWas) {
    ActiveDirectoryStore store(60);
    NoRemoteAuthenticationStore none;
    struct Refusal {
        char const* name;
        std::function<void(std::string const&)> impose;
        std::string message;
    } const refusals[] = {
        {"full",
         [](std::string const& directory) {
             sandbox::WriteFile(directory + "/filler", "");
             int fd = open((directory + "/filler").c_str(), O_WRONLY | O_CLOEXEC);
             std::string const block(4096, 'f');
             while (write(fd, block.data(), block.size()) > 0) {
             }
             close(fd);
         },
         "Unable to write '{}': No space left on device"},
        {"read-only", sandbox::RemountReadOnly,
         "Unable to create temporary file to write '{}': Read-only file system"},
        {"no write permission",
         [](std::string const& directory) { ASSERT_EQ(0, chmod(directory.c_str(), 0555)); },
         "Unable to create temporary file to write '{}': Permission denied"},
    };
    struct Operation {
        char const* name;
        std::string target, pam, conf;
        std::function<void()> call;
    } const operations[] = {
        {"MakeActive", kPAM, kRedHatStyle, noneConf, [&] { store.MakeActive(); }},
        {"MakeInactive", kPAM, activePAM, activeConf, [&] { store.MakeInactive(); }},
        {"None.MakeActive", kPAM, activePAM, activeConf, [&] { none.MakeActive(); }},
        {"MakeActive", kConf, kRedHatStyle, noneConf, [&] { store.MakeActive(); }},
        {"ImportThumbprint", kThumbprints, kRedHatStyle, noneConf, import},
    };
    for (Refusal const& refusal : refusals) {
        for (Operation const& operation : operations) {
            SCOPED_TRACE(std::string(refusal.name) + ", " + operation.name + ", " +
                         operation.target);
            std::string const directory = operation.target.substr(0, operation.target.rfind('/'));
            Files const inside = Snapshot({directory});
            sandbox::MountTmpfs(directory, 64 * 1024);
            Restore(inside);
            sandbox::WriteFile(kPAM, operation.pam, 0640);
            sandbox::WriteFile(kConf, operation.conf, 0644);
            refusal.impose(directory);
            Files const before = Snapshot();
            std::string message = refusal.message;
            message.replace(message.find("{}"), 2, operation.target);
            std::optional<sandbox::WithoutPermissionOverride> unprivileged;
            if (refusal.name == std::string("no write permission")) unprivileged.emplace();
            EXPECT_EQ(Named(typeid(IOError), message), WhatThrown(operation.call));
            unprivileged.reset();
            EXPECT_TRUE(before == Snapshot());
            EXPECT_TRUE(Temporaries().empty());
            ASSERT_EQ(0, umount2(directory.c_str(), MNT_DETACH)) << directory;
        }
    }
}

// Every file-system call of a rewrite made to fail in turn.
TEST_F(IOFailureTest, AFailureAtAnyCallLeavesOldOrNewFilesOnly) {
    ActiveDirectoryStore store(60);
    NoRemoteAuthenticationStore none;
    // In the order of fault_injection::kNames.
    int const errors[fault_injection::kCallKinds] = {ENOSPC, EMFILE, ENOSPC, EPERM,  EIO, EIO,
                                                     EXDEV,  EMFILE, EIO,    EACCES, EIO};
    Files const inactive = Snapshot();
    Files active = inactive;
    active[kPAM].content = activePAM;
    active[kConf].content = activeConf;
    struct Operation {
        char const* name;
        Files before;
        std::function<void()> call;
    } const operations[] = {
        {"MakeActive", inactive, [&] { store.MakeActive(); }},
        {"MakeInactive", active, [&] { store.MakeInactive(); }},
        {"None.MakeActive", active, [&] { none.MakeActive(); }},
        {"ImportThumbprint", inactive, import},
    };
    unsigned injected = 0;
    for (Operation const& operation : operations) {
        // What the operation does when nothing fails, and which calls it makes.
        Restore(operation.before);
        fault_injection::Injector counting;
        operation.call();
        std::array<unsigned, fault_injection::kCallKinds> const counts = counting.counts;
        Files const after = Snapshot();
        ASSERT_FALSE(operation.before == after) << operation.name << " changed nothing";

        for (int call = 0; call < fault_injection::kCallKinds; ++call) {
            for (unsigned nth = 1; nth <= counts[call]; ++nth, ++injected) {
                Call const kind = static_cast<Call>(call);
                SCOPED_TRACE(std::string(operation.name) + ": " + fault_injection::kNames[kind] +
                             " #" + std::to_string(nth));
                Restore(operation.before);
                counting.FailCall(kind, nth, errors[call]);
                std::string const thrown = WhatThrown(operation.call);
                ASSERT_TRUE(counting.injected) << thrown;
                counting.FailCall(kind, 0, 0);
                // A failure that changes nothing may go unreported (closing a file that was
                // read); every other one is reported as a documented exception.
                if (thrown == "(returned)") {
                    EXPECT_TRUE(Snapshot() == after);
                    continue;
                }
                bool const permissions =
                    thrown.rfind(Named(typeid(FilePermissionError), ""), 0) == 0;
                // Switching to "None" reads provider.conf to find the store to deactivate;
                // an unreadable one is reported as no provider installed.
                EXPECT_TRUE(permissions || thrown.rfind(Named(typeid(IOError), ""), 0) == 0 ||
                            thrown == Named(typeid(InvalidActiveDirectoryProviderException),
                                            "The specified Active Directory provider '(none "
                                            "installed)' is invalid"))
                    << thrown;
                // Only a failed rename leaves its temporary file: complete, the new version.
                std::vector<std::string> left = Temporaries();
                if (kind == fault_injection::kRename) {
                    ASSERT_EQ(1u, left.size());
                    std::string const target = left[0].substr(0, left[0].size() - 7);
                    EXPECT_EQ(after.at(target).content, sandbox::ReadFile(left[0]));
                    unlink(left[0].c_str());
                } else {
                    EXPECT_TRUE(left.empty()) << left.size() << " left";
                }
                Files const now = Snapshot();
                ASSERT_EQ(after.size(), now.size());
                for (auto const& file : now) {
                    if (file.second == operation.before.at(file.first) ||
                        file.second == after.at(file.first)) {
                        continue;
                    }
                    // Documented: when the bits cannot be carried over, the new file is in
                    // place with the owner-only bits it was created with.
                    EXPECT_TRUE(permissions && file.second.mode == 0600 &&
                                file.second.content == after.at(file.first).content)
                        << file.first;
                }
                EXPECT_TRUE(ParsesAsPAM(now.at(kPAM).content));
                // Switching is all-or-nothing: the record and the PAM file agree.
                if (std::string(operation.name).find("MakeActive") != std::string::npos) {
                    EXPECT_EQ(now.at(kPAM).content != operation.before.at(kPAM).content,
                              now.at(kConf).content != operation.before.at(kConf).content);
                }
                // Once the fault is gone, doing it again gets there (the bits a failed
                // permission change left stay when the content needs no change).
                EXPECT_EQ("(returned)", WhatThrown(operation.call));
                for (auto const& file : Snapshot())
                    EXPECT_EQ(after.at(file.first).content, file.second.content) << file.first;
            }
        }
    }
    EXPECT_LT(80u, injected);
}
