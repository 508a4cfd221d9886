#ifndef SAMBA_PROVIDER_WINBIND_CLIENT_H
#define SAMBA_PROVIDER_WINBIND_CLIENT_H

// wbclient.h uses the fixed-width types without including their header, and declares its
// functions without C linkage.
#include <stddef.h>
#include <stdint.h>

extern "C" {
#include <wbclient.h>
}

namespace sambaprovider {

// A libwbclient context for one call. libwbclient names the calling program in every request
// from a buffer it fills on first use, unguarded: the name is set once here, before any two
// threads can send at the same time.
wbcContext* NewWinbindContext();

}  // namespace sambaprovider

#endif
