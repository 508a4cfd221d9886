#ifndef DEMO_DIRECTORY_RESULTS_H
#define DEMO_DIRECTORY_RESULTS_H

#include <tslauth/active_directory_client.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace demodirectory {

// What the plug-ins hand out is allocated with malloc, so that the deallocators below (and
// the proxy's release word) free it exactly. Until handed out it is owned here, so a failure
// half-way frees what was made.
struct FreeMemory {
    void operator()(void* memory) const { std::free(memory); }
};
using OwnedString = std::unique_ptr<char, FreeMemory>;

// Throw std::bad_alloc when memory runs out.
OwnedString CopyString(std::string const& text);
// A NULL-terminated array of copies.
char** CopyStrings(std::vector<std::string> const& texts);
// A NULL-terminated array of (DNS name, NetBIOS name) records.
ADDomainNames** CopyDomainNames(std::vector<std::pair<std::string, std::string> > const& names);

// The deallocators handed back with the results.
void FreeString(void* string);
void FreeStrings(void* array);
void FreeDomainNames(void* array);

}  // namespace demodirectory

#endif
