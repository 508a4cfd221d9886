#include "fault_injection.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>

namespace fault_injection {

namespace {

// Only the thread that made the injector is affected; every other thread passes through.
thread_local Injector* current = nullptr;

bool Trip(Call call, int& error) {
    return current != nullptr && current->Trip(call, error);
}

template <typename Function>
Function Next(char const* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// With 64-bit file offsets on a 32-bit host, the stand-ins below are emitted as open64, stat64
// and lstat64 (the headers rename them), so they pass on to those, not to the 32-bit calls.
constexpr bool kRenamedTo64 = sizeof(long) == 4 && sizeof(off_t) == 8;

}  // namespace

std::string NameOf(Call call) {
    static char const* const names[kCallKinds] = {"mkostemp", "fopen64", "write",  "fchmod",
                                                  "fsync",    "close",   "rename", "open",
                                                  "read",     "stat",    "fchown"};
    return names[call];
}

Injector::Injector() {
    if (current != nullptr) throw std::logic_error("one injector per thread");
    current = this;
}

Injector::~Injector() {
    current = nullptr;
}

void Injector::FailCall(Call call, unsigned nth, int error) {
    counts.fill(0);
    failing = call;
    failAt = nth;
    failError = error;
    injected = false;
}

bool Injector::Trip(Call call, int& error) {
    ++counts[call];
    if (failAt == 0 || call != failing || counts[call] != failAt) return false;
    error = failError;
    injected = true;
    return true;
}

}  // namespace fault_injection

using fault_injection::Trip;

#define EXPORTED extern "C" __attribute__((visibility("default")))

EXPORTED int mkostemp(char* name, int flags) {
    static auto const next = fault_injection::Next<int (*)(char*, int)>("mkostemp");
    int error = 0;
    if (Trip(fault_injection::kMkostemp, error)) return errno = error, -1;
    return next(name, flags);
}

EXPORTED FILE* fopen64(char const* path, char const* mode) {
    static auto const next = fault_injection::Next<FILE* (*)(char const*, char const*)>("fopen64");
    int error = 0;
    if (Trip(fault_injection::kFopen, error)) return errno = error, nullptr;
    return next(path, mode);
}

EXPORTED ssize_t write(int fd, void const* buffer, size_t count) {
    static auto const next = fault_injection::Next<ssize_t (*)(int, void const*, size_t)>("write");
    int error = 0;
    if (Trip(fault_injection::kWrite, error)) return errno = error, -1;
    return next(fd, buffer, count);
}

EXPORTED int fchmod(int fd, mode_t mode) {
    static auto const next = fault_injection::Next<int (*)(int, mode_t)>("fchmod");
    int error = 0;
    if (Trip(fault_injection::kFchmod, error)) return errno = error, -1;
    return next(fd, mode);
}

EXPORTED int fsync(int fd) {
    static auto const next = fault_injection::Next<int (*)(int)>("fsync");
    int error = 0;
    if (Trip(fault_injection::kFsync, error)) return errno = error, -1;
    return next(fd);
}

// A close that reports an error has still released the descriptor.
EXPORTED int close(int fd) {
    static auto const next = fault_injection::Next<int (*)(int)>("close");
    int error = 0;
    bool const fail = Trip(fault_injection::kClose, error);
    int const rc = next(fd);
    if (fail) return errno = error, -1;
    return rc;
}

EXPORTED int rename(char const* from, char const* to) {
    static auto const next = fault_injection::Next<int (*)(char const*, char const*)>("rename");
    int error = 0;
    if (Trip(fault_injection::kRename, error)) return errno = error, -1;
    return next(from, to);
}

EXPORTED int open(char const* path, int flags, ...) {
    static auto const next = fault_injection::Next<int (*)(char const*, int, ...)>(
        fault_injection::kRenamedTo64 ? "open64" : "open");
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, unsigned));
        va_end(arguments);
    }
    int error = 0;
    if (Trip(fault_injection::kOpen, error)) return errno = error, -1;
    return next(path, flags, mode);
}

EXPORTED ssize_t read(int fd, void* buffer, size_t count) {
    static auto const next = fault_injection::Next<ssize_t (*)(int, void*, size_t)>("read");
    int error = 0;
    if (Trip(fault_injection::kRead, error)) return errno = error, -1;
    return next(fd, buffer, count);
}

EXPORTED int stat(char const* path, struct stat* status) {
    static auto const next = fault_injection::Next<int (*)(char const*, struct stat*)>(
        fault_injection::kRenamedTo64 ? "stat64" : "stat");
    int error = 0;
    if (Trip(fault_injection::kStat, error)) return errno = error, -1;
    return next(path, status);
}

EXPORTED int lstat(char const* path, struct stat* status) {
    static auto const next = fault_injection::Next<int (*)(char const*, struct stat*)>(
        fault_injection::kRenamedTo64 ? "lstat64" : "lstat");
    int error = 0;
    if (Trip(fault_injection::kStat, error)) return errno = error, -1;
    return next(path, status);
}

EXPORTED int fchown(int fd, uid_t owner, gid_t group) {
    static auto const next = fault_injection::Next<int (*)(int, uid_t, gid_t)>("fchown");
    int error = 0;
    if (Trip(fault_injection::kFchown, error)) return errno = error, -1;
    return next(fd, owner, group);
}
