#ifndef SAMBA_PROVIDER_LAST_ERROR_H
#define SAMBA_PROVIDER_LAST_ERROR_H

// The plug-in's own words on why the last join, leave or change of settings of the calling
// thread failed (libnetapi's, the KDC's, the helper's): the library hands them to the
// administrator through GetLastErrorText (extension E1). Each such operation starts afresh.
#include <tslauth/active_directory_client.h>

#include <string>

namespace sambaprovider {

void ClearLastError();
// Empty text: the operation failed without words.
void SetLastError(std::string const& text);

// Extension E1.
ADStatus GetLastErrorText(char** text, ADDeallocator* deallocator);

}  // namespace sambaprovider

#endif
