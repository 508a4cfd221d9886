#include <systemconfiguration/nss_configuration.h>
#include <systemconfiguration/pam_control.h>
#include <systemconfiguration/pam_policy.h>

namespace SystemConfiguration {

#define SYSTEMCONFIGURATION_EXCEPTION_BODY(Name)                                        \
    Name::Name(std::string const& message) : message(message), line_(0) {}              \
    Name::Name(std::string const& message, std::string const& file, unsigned long line) \
        : message(message), file_(file), line_(line) {}                                 \
    Name::~Name() {}                                                                    \
    char const* Name::what() const noexcept {                                           \
        return message.c_str();                                                         \
    }

SYSTEMCONFIGURATION_EXCEPTION_BODY(InvalidControlException)
SYSTEMCONFIGURATION_EXCEPTION_BODY(InvalidFacilityException)
SYSTEMCONFIGURATION_EXCEPTION_BODY(InvalidEntryException)
SYSTEMCONFIGURATION_EXCEPTION_BODY(InvalidDatabaseException)
SYSTEMCONFIGURATION_EXCEPTION_BODY(InvalidServiceException)

}  // namespace SystemConfiguration
