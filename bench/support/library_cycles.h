#ifndef BENCH_SUPPORT_LIBRARY_CYCLES_H
#define BENCH_SUPPORT_LIBRARY_CYCLES_H

// Read, edit and write cycles through the library's public models: the file parsed from a
// stream, edited in the model, and written by atomic replacement (AtomicFileStream).

#include <systemconfiguration/nss_configuration.h>
#include <systemconfiguration/pam_policy.h>

#include <string>

namespace bench {

SystemConfiguration::PAMPolicy ReadPAMPolicy(std::string const& path);
void WritePAMPolicy(std::string const& path, SystemConfiguration::PAMPolicy const& policy);
// The activation's edit: the provider's entry after the access module in auth and account
// (at the front where that module is missing).
void AddProviderEntry(SystemConfiguration::PAMPolicy& policy);
void PAMCycle(std::string const& path);

SystemConfiguration::NSSConfiguration ReadNSSConfiguration(std::string const& path);
void WriteNSSConfiguration(std::string const& path,
                           SystemConfiguration::NSSConfiguration const& configuration);
// The provider's service appended to passwd and group.
void AddProviderService(SystemConfiguration::NSSConfiguration& configuration);
void NSSCycle(std::string const& path);

}  // namespace bench

#endif
