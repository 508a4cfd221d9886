#ifndef SYSTEMCONFIGURATION_PAM_POLICY_H
#define SYSTEMCONFIGURATION_PAM_POLICY_H

// Every class here is a plain value with no shared state: one thread at a time per object,
// any number of objects on any threads.

#include <systemconfiguration/export.h>
#include <systemconfiguration/pam_control.h>

#include <deque>
#include <exception>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

namespace SystemConfiguration {

// An entry that cannot be written so that it reads back as itself: an empty module, a module
// or parameter that is empty, holds whitespace outside brackets or a "#", or a line that would
// end with a backslash. The reader throws it for a statement it cannot carry faithfully.
SYSTEMCONFIGURATION_EXCEPTION(InvalidEntryException)

// One PAM statement without its facility.
class SYSTEMCONFIGURATION_EXPORT PAMEntry {
public:
    PAMEntry();
    PAMEntry(PAMControl control, std::string module);
    PAMEntry(PAMEntry const& other);
    PAMEntry& operator=(PAMEntry const& other);
    PAMEntry(PAMEntry&& other);
    PAMEntry& operator=(PAMEntry&& other);

    PAMControl const& control() const { return control_; }
    std::string const& module() const { return module_; }
    std::vector<std::string>& parameters() { return parameters_; }
    std::vector<std::string> const& parameters() const { return parameters_; }

    // A statement whose facility is written with a leading "-": a missing module is skipped
    // without a log line. Not part of equality.
    bool moduleMayBeMissing() const { return moduleMayBeMissing_; }
    void setModuleMayBeMissing(bool mayBeMissing) { moduleMayBeMissing_ = mayBeMissing; }

    // Same control kind (bracketed texts are not compared), module and parameters.
    bool operator==(PAMEntry const& other) const;

private:
    PAMControl control_;
    std::string module_;
    std::vector<std::string> parameters_;
    bool moduleMayBeMissing_ = false;
};

// The statements of one facility, in file order.
class SYSTEMCONFIGURATION_EXPORT PAMStack : public std::deque<PAMEntry> {
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
class SYSTEMCONFIGURATION_EXPORT PAMPolicy {
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

// Reading takes lines as the PAM library does: a "#" starts a comment anywhere, a backslash
// at the end of a line continues the statement on the next one, a bracketed field is one
// field, and facility and control words may be in any letter case. A statement the model
// cannot carry as the library reads it is refused: InvalidFacilityException (an unknown
// facility, "@include"), InvalidControlException (an unknown or unclosed control), or
// InvalidEntryException (no module, an unclosed bracket, a line the library would cut or
// abort on). A refused read leaves the policy as it was before the read and the stream
// failed, so that nothing half-read is written back.
SYSTEMCONFIGURATION_EXPORT std::istream& operator>>(std::istream& in, PAMEntry& entry);
SYSTEMCONFIGURATION_EXPORT std::istream& operator>>(std::istream& in, PAMPolicy& policy);

// Writing checks everything first and writes nothing when something cannot be written so
// that it reads back as itself (InvalidControlException, InvalidFacilityException,
// InvalidEntryException).
SYSTEMCONFIGURATION_EXPORT std::ostream& operator<<(std::ostream& out, PAMEntry const& entry);
SYSTEMCONFIGURATION_EXPORT std::ostream& operator<<(std::ostream& out, PAMStack const& stack);
SYSTEMCONFIGURATION_EXPORT std::ostream& operator<<(std::ostream& out, PAMPolicy const& policy);

}  // namespace SystemConfiguration

#endif
