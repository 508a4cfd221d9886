#ifndef SAMBA_PROVIDER_HELPER_CLIENT_H
#define SAMBA_PROVIDER_HELPER_CLIENT_H

// Joins and leaves run libnetapi in a helper process of their own: libnetapi keeps one
// global, thread-unsafe context, reads smb.conf once per context, keeps the machine secrets
// open and prints to standard output on some failures. None of that reaches the host program
// this way, and a helper that hangs on a dead DC is killed at a deadline.
#include <sys/types.h>
#include <tslauth/active_directory_client.h>

#include <string>

#include "wire.h"

namespace sambaprovider {

inline char const kHelperName[] = "tslauth-samba-helper";
// How long one helper run may take before it is killed (a DC that stops answering half-way
// holds libnet for minutes).
inline int const kHelperDeadlineSeconds = 120;
// What a helper that could not run or answered nothing gives: an internal error.
inline ADStatus const kHelperFailed = 1359;

// Runs the helper with the request; returns its status, with its answer fields in `answer`.
// 10060 when it was killed at the deadline, 1359 when it could not run or answered nothing.
ADStatus RunHelper(Fields const& request, Fields& answer);

// The same with the helper at `path` and a deadline of one's own (an enrolment service).
ADStatus RunHelperAt(std::string const& path, Fields const& request, Fields& answer,
                     int deadlineSeconds);

// What a helper killed at its deadline answers (10060), logged.
ADStatus StoppedAtDeadline(int deadlineSeconds, Fields& answer);

// Starts the helper at `path` with `channel` as its descriptor 3; with `serve`, a long-lived
// one (helper_pool.h). -1 when it could not be started (logged).
pid_t StartHelper(std::string const& path, int channel, bool serve);

}  // namespace sambaprovider

#endif
