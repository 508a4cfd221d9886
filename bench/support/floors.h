#ifndef BENCH_SUPPORT_FLOORS_H
#define BENCH_SUPPORT_FLOORS_H

// What the machine cannot do faster: the bare system calls under each library operation,
// without any of the library's work around them.

#include <string>

namespace bench {

// mkstemp beside the target, write, fsync, close, rename over the target, fsync the
// directory. Throws std::runtime_error on failure.
void ReplaceAtomically(std::string const& path, std::string const& content);

// The system calls the library's replacement needs to keep its guarantees, in its order, with
// the file's bytes copied unchanged: the whole file read (open, read to the end, close), lstat
// (to follow a link and learn owner and bits), mkostemp, write, fchown, fchmod, fsync, close,
// rename, and the directory's open, fsync and close. Throws std::runtime_error on failure.
void CopyWithGuarantees(std::string const& path);

// pthread_create of a detached thread that signals a condition variable, which the caller
// waits for with a monotonic deadline.
void ThreadRoundTrip();

// A wait on a condition variable that nobody signals, until a monotonic deadline `seconds`
// ahead.
void WaitForTimeOut(int seconds);

// dlopen (lazy, global) of a provider plug-in, dlsym of its two symbols, dlclose.
void LoadAndUnload(std::string const& path);

}  // namespace bench

#endif
