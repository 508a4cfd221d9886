#ifndef AUTHENTICATION_EXPORT_H
#define AUTHENTICATION_EXPORT_H

// The library is built with hidden visibility; only what carries this mark is exported.
#define TSLAUTH_EXPORT __attribute__((visibility("default")))

#endif
