// Activation edits the PAM service file through the PAM model: the provider's module goes in
// as "sufficient" for auth and account, and the module it replaces comes out.
#include <authentication/active_directory_store.h>
#include <authentication/atomic_file_stream.h>
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <syslog.h>
#include <systemconfiguration/pam_policy.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "file_content.h"

using SystemConfiguration::PAMControl;
using SystemConfiguration::PAMEntry;
using SystemConfiguration::PAMFacility;
using SystemConfiguration::PAMPolicy;
using SystemConfiguration::PAMStack;

namespace ostrel {
namespace authentication {

namespace {

char const kPAMFile[] = "/etc/pam.d/system-auth-generic";
char const kServiceName[] = "system-auth-generic";
char const kModuleDirectory[] = "/lib/security/$ISA/";
char const kReplacedModule[] = "/lib/security/$ISA/pam_zodad.so";
char const kAccessModule[] = "/lib/security/$ISA/pam_access.so";
PAMFacility::Facility const kEditedFacilities[] = {PAMFacility::Auth, PAMFacility::Account};

PAMPolicy ReadPolicy() {
    std::string content;
    int error = 0;
    ReadFailure failure = ReadFileContent(kPAMFile, content, error);
    if (failure == ReadFailure::Open) {
        throw IOError(std::string("Cannot open '") + kPAMFile + "': " + std::strerror(error));
    }
    if (failure == ReadFailure::Read) {
        // A half-read policy written back would lose the rest of the file.
        throw IOError(std::string("Cannot read '") + kPAMFile + "': " + std::strerror(error));
    }
    PAMPolicy policy(kServiceName);
    std::istringstream in(content);
    in >> policy;
    return policy;
}

void WritePolicy(PAMPolicy const& policy) {
    // Formatted first, so that a policy the writer refuses leaves no trace on disk.
    std::ostringstream text;
    text << policy;
    AtomicFileStream out(kPAMFile, std::ios_base::out);
    if (!out) {
        int error = errno;
        ::unlink(out.GetTemporaryPath().c_str());
        throw IOError(std::string("Cannot open '") + kPAMFile + "': " + std::strerror(error));
    }
    std::string const& bytes = text.str();
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.Commit();
}

// Only the first entry of the replaced module goes; a real edit logs it.
void RemoveReplacedModule(PAMStack& stack, bool log = true) {
    PAMStack::iterator old = stack.find(kReplacedModule);
    if (old == stack.end()) return;
    if (log) {
        syslog(LOG_INFO, "Update PAM Config: Removing existing PAM entry: %s", kReplacedModule);
    }
    stack.erase(old);
}

// The one activation edit, shared by MakeActive and the preview of it.
PAMPolicy Activated(PAMPolicy policy, PAMEntry const& entry, bool log) {
    for (PAMFacility::Facility facility : kEditedFacilities) {
        PAMStack& stack = policy[facility];
        RemoveReplacedModule(stack, log);
        PAMStack::iterator access = stack.find(kAccessModule);
        if (std::find(stack.begin(), stack.end(), entry) != stack.end()) continue;
        stack.insert(access == stack.end() ? stack.begin() : access + 1, entry);
    }
    return policy;
}

}  // namespace

PAMEntry ActiveDirectoryStore::GetPAMEntryForProvider() const {
    PAMEntry entry(PAMControl(PAMControl::Sufficient), kModuleDirectory + provider->PAMModule());
    std::list<std::string> const& parameters = provider->PAMModuleParameters();
    entry.parameters().assign(parameters.begin(), parameters.end());
    return entry;
}

PAMPolicy ActiveDirectoryStore::ActivatedPolicy() const {
    return Activated(ReadPolicy(), GetPAMEntryForProvider(), false);
}

void ActiveDirectoryStore::MakeActive() {
    AuthenticationConfiguration configuration;
    WritePolicy(Activated(ReadPolicy(), GetPAMEntryForProvider(), true));
    // The record changes only once the PAM file says so.
    configuration["remote-authentication-store"] = GetDisplayName();
    configuration.Write();
}

void ActiveDirectoryStore::MakeInactive() {
    PAMEntry const entry = GetPAMEntryForProvider();
    PAMPolicy policy = ReadPolicy();
    for (PAMFacility::Facility facility : kEditedFacilities) {
        PAMStack& stack = policy[facility];
        RemoveReplacedModule(stack);
        PAMStack::iterator own = std::find(stack.begin(), stack.end(), entry);
        if (own != stack.end()) stack.erase(own);
    }
    WritePolicy(policy);
}

}  // namespace authentication
}  // namespace ostrel
