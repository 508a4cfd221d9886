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
}  // namespace

Injector::Injector() {
    if (current != nullptr) throw std::logic_error("one injector per thread");
    current = this;
}

Injector::~Injector() {
    current = nullptr;
}

}  // namespace fault_injection

namespace {

bool Trip(fault_injection::Call call, int& error) {
    return fault_injection::current != nullptr && fault_injection::current->Trip(call, error);
}

// With 64-bit file offsets on a 32-bit host, open, stat and lstat are emitted as open64, stat64
// and lstat64 (the headers rename them), so they pass on to those, not to the 32-bit calls.
constexpr bool k64 = sizeof(long) == 4 && sizeof(off_t) == 8;

}  // namespace

// A stand-in that fails with the injected error or passes on to the C library's call.
#define STAND_IN(Type, name, symbol, kind, failed, parameters, ...)                              \
    extern "C" __attribute__((visibility("default"))) Type name parameters {                     \
        static auto const next = reinterpret_cast<Type(*) parameters>(dlsym(RTLD_NEXT, symbol)); \
        int error = 0;                                                                           \
        if (Trip(fault_injection::kind, error)) return errno = error, failed;                    \
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
STAND_IN(int, stat, k64 ? "stat64" : "stat", kStat, -1, (char const* path, struct stat* info), path,
         info)
STAND_IN(int, lstat, k64 ? "lstat64" : "lstat", kStat, -1, (char const* path, struct stat* info),
         path, info)
STAND_IN(int, fchown, "fchown", kChown, -1, (int fd, uid_t owner, gid_t group), fd, owner, group)

// A close that reports an error has still released the descriptor.
extern "C" __attribute__((visibility("default"))) int close(int fd) {
    static auto const next = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "close"));
    int error = 0;
    bool const fail = Trip(fault_injection::kClose, error);
    int const rc = next(fd);
    return fail ? (errno = error, -1) : rc;
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
    int error = 0;
    if (Trip(fault_injection::kOpen, error)) return errno = error, -1;
    return next(path, flags, mode);
}
