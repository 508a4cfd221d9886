#ifndef PLUGINRESULTS_PLUGIN_RESULTS_H
#define PLUGINRESULTS_PLUGIN_RESULTS_H

// What a plug-in hands to the library is allocated with malloc and released by the
// deallocators below (a proxy client's Release is FreeString). Nothing here throws: a slot may
// use it outside any try block, since no exception may cross the plug-in's C table. Each copy
// is NULL when memory runs out, with nothing left allocated.
#include <tslauth/active_directory_client.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pluginresults {

char* CopyString(std::string const& text) noexcept;
// A NULL-terminated array of copies.
char** CopyStrings(std::vector<std::string> const& texts) noexcept;
// A NULL-terminated array of (DNS name, NetBIOS name) records.
ADDomainNames** CopyDomainNames(
    std::vector<std::pair<std::string, std::string> > const& names) noexcept;

// The deallocators handed back with the results; each accepts NULL.
void FreeString(void* string) noexcept;
void FreeStrings(void* array) noexcept;
void FreeDomainNames(void* array) noexcept;

// A copy owned until it is handed out, so that a failure half-way frees what was made.
struct FreeMemory {
    void operator()(void* memory) const noexcept { std::free(memory); }
};
using OwnedString = std::unique_ptr<char, FreeMemory>;

}  // namespace pluginresults

#endif
