#ifndef SAMBA_PROVIDER_RESULTS_H
#define SAMBA_PROVIDER_RESULTS_H

// What the plug-in hands to the library is allocated with malloc and released by the
// deallocators below.
#include <tslauth/active_directory_client.h>

#include <string>
#include <utility>
#include <vector>

namespace sambaprovider {

// NULL when memory runs out.
char* CopyString(std::string const& text);
char** CopyStrings(std::vector<std::string> const& texts);
ADDomainNames** CopyDomainNames(std::vector<std::pair<std::string, std::string> > const& names);

void FreeString(void* string);
void FreeStrings(void* array);
void FreeDomainNames(void* array);

}  // namespace sambaprovider

#endif
