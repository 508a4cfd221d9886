#ifndef SYSTEMCONFIGURATION_PAM_POLICY_H
#define SYSTEMCONFIGURATION_PAM_POLICY_H

#include <authentication/export.h>
#include <systemconfiguration/pam_control.h>

#include <deque>
#include <exception>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

namespace SystemConfiguration {

// An entry that cannot be written so that it reads back as itself: an empty module (left
// by input that ended right after the control), or a module or parameter that is empty or
// holds whitespace.
class TSLAUTH_EXPORT InvalidEntryException : public std::exception {
public:
    explicit InvalidEntryException(std::string const& message);
    ~InvalidEntryException() override;
    char const* what() const noexcept override;

private:
    std::string message;
};

// One PAM statement without its facility.
class TSLAUTH_EXPORT PAMEntry {
public:
    PAMEntry();
    PAMEntry(PAMControl control, std::string module);
    PAMEntry(PAMEntry const& other);
    PAMEntry& operator=(PAMEntry const& other);

    PAMControl const& control() const { return control_; }
    std::string const& module() const { return module_; }
    std::vector<std::string>& parameters() { return parameters_; }
    std::vector<std::string> const& parameters() const { return parameters_; }

    // Same control kind (bracketed texts are not compared), module and parameters.
    bool operator==(PAMEntry const& other) const;

private:
    PAMControl control_;
    std::string module_;
    std::vector<std::string> parameters_;
};

// The statements of one facility, in file order.
class TSLAUTH_EXPORT PAMStack : public std::deque<PAMEntry> {
public:
    PAMStack();
    explicit PAMStack(PAMFacility const& facility);
    PAMStack(PAMStack const& other);
    PAMStack& operator=(PAMStack const& other);

    PAMFacility Facility() const { return facility; }

    // The first entry whose module equals the text exactly, or end().
    iterator find(std::string const& module);
    const_iterator find(std::string const& module) const;

private:
    PAMFacility facility;
};

// One PAM service file: its statements grouped by facility, account first.
class TSLAUTH_EXPORT PAMPolicy {
public:
    typedef std::map<PAMFacility, PAMStack> Stacks;

    explicit PAMPolicy(std::string const& serviceName);

    // The stack of that facility, inserted empty when missing.
    PAMStack& operator[](PAMFacility facility);

    std::string const& serviceName() const { return serviceName_; }
    Stacks const& stacks() const { return stacks_; }

private:
    std::string serviceName_;
    Stacks stacks_;
};

// Reading throws InvalidFacilityException or InvalidControlException for a statement it
// cannot parse; statements read before it stay in the policy.
TSLAUTH_EXPORT std::istream& operator>>(std::istream& in, PAMEntry& entry);
TSLAUTH_EXPORT std::istream& operator>>(std::istream& in, PAMPolicy& policy);

// Writing checks everything first and writes nothing when something cannot be written so
// that it reads back as itself (InvalidControlException, InvalidFacilityException,
// InvalidEntryException).
TSLAUTH_EXPORT std::ostream& operator<<(std::ostream& out, PAMEntry const& entry);
TSLAUTH_EXPORT std::ostream& operator<<(std::ostream& out, PAMStack const& stack);
TSLAUTH_EXPORT std::ostream& operator<<(std::ostream& out, PAMPolicy const& policy);

}  // namespace SystemConfiguration

#endif
