#ifndef SAMBA_PROVIDER_WINBIND_CLIENT_H
#define SAMBA_PROVIDER_WINBIND_CLIENT_H

// wbclient.h uses the fixed-width types without including their header, and declares its
// functions without C linkage.
#include <stddef.h>
#include <stdint.h>

extern "C" {
#include <wbclient.h>
}

#endif
