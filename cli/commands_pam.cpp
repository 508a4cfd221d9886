// pam show and pam preview: the PAM file as the library reads it, and what activation
// would make of it, byte for byte.
#include <authentication/authentication.h>
#include <systemconfiguration/pam_policy.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "commands.h"
#include "exit_codes.h"
#include "output.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace tslauth {

using namespace ostrel::authentication;
using SystemConfiguration::PAMPolicy;

namespace {

char const kPAMFile[] = "/etc/pam.d/system-auth-generic";

// The file's bytes as they stand, for the preview to compare with what activation writes.
std::string CurrentBytes() {
    std::ifstream in(kPAMFile, std::ios::binary);
    if (!in) throw IOError(std::string("Cannot open '") + kPAMFile + "': " + std::strerror(errno));
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) throw IOError(std::string("Cannot read '") + kPAMFile + "'");
    return bytes.str();
}

std::string Text(PAMPolicy const& policy) {
    std::ostringstream out;
    out << policy;
    return out.str();
}

}  // namespace

int PamShow(Arguments const& arguments) {
    arguments.ExpectPositionals(0, 0);
    PAMPolicy const policy = ActiveDirectoryStore::CurrentPolicy();
    if (!arguments.Flag("json")) {
        std::cout << Text(policy);
        return kSuccess;
    }
    Json stacks = Json::object();
    for (auto const& stack : policy.stacks()) {
        Json& entries = stacks[std::string(stack.first)] = Json::array();
        for (SystemConfiguration::PAMEntry const& entry : stack.second) {
            entries.push_back({{"control", std::string(entry.control())},
                               {"module", entry.module()},
                               {"parameters", entry.parameters()}});
        }
    }
    std::cout << JsonText({{"service", policy.serviceName()}, {"stacks", stacks}}) << "\n";
    return kSuccess;
}

int PamPreview(Arguments const& arguments) {
    arguments.ExpectPositionals(0, 0);
    std::auto_ptr<AuthenticationStore> made =
        Singleton<AuthenticationStoreFactory>::_instance->CreateInstance("Active Directory");
    ActiveDirectoryStore* store = dynamic_cast<ActiveDirectoryStore*>(made.get());
    if (store == nullptr) throw UnknownRemoteAuthenticationStoreException("Active Directory");
    // The file's bytes against the exact bytes activation would write: the preview shows
    // every change, layout and comments included.
    std::string const after = Text(store->ActivatedPolicy());
    std::string const before = CurrentBytes();
    std::string const diff =
        UnifiedDiff(before, after, std::string("a") + kPAMFile, std::string("b") + kPAMFile);
    if (arguments.Flag("json")) {
        std::cout << JsonText({{"file", kPAMFile}, {"changes", !diff.empty()}, {"diff", diff}})
                  << "\n";
    } else if (diff.empty()) {
        std::cout << "Activation would not change " << kPAMFile << ".\n";
    } else {
        std::cout << diff;
    }
    return kSuccess;
}

}  // namespace tslauth
