#ifndef HOSTCTL_EXPORT_H
#define HOSTCTL_EXPORT_H

// libquorctl is built with hidden visibility; only what carries this mark is exported.
// Defined here rather than taken from the library's own headers, so that the host-control
// declarations stand on their own for anyone building against them.
#define QUORCTL_EXPORT __attribute__((visibility("default")))

#endif
