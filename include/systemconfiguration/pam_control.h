#ifndef SYSTEMCONFIGURATION_PAM_CONTROL_H
#define SYSTEMCONFIGURATION_PAM_CONTROL_H

// Every class here is a plain value with no shared state: one thread at a time per object,
// any number of objects on any threads.

#include <systemconfiguration/export.h>

#include <cstdint>
#include <exception>
#include <iosfwd>
#include <string>

namespace SystemConfiguration {

// A control field that is neither one of the six words nor a bracketed expression, or a
// control kind that has no text.
SYSTEMCONFIGURATION_EXCEPTION(InvalidControlException)

// A facility word other than the four known ones, or a facility kind that has no text.
SYSTEMCONFIGURATION_EXCEPTION(InvalidFacilityException)

// The control field of a PAM statement: one of the six words, or a bracketed expression
// kept as text (brackets included).
class SYSTEMCONFIGURATION_EXPORT PAMControl {
public:
    enum Control : std::int32_t {
        Unset = 0,
        Required = 1,
        Requisite = 2,
        Sufficient = 3,
        Optional = 4,
        Include = 5,
        Substack = 6,
        Complex = 7
    };

    PAMControl();
    PAMControl(Control kind);
    // Taken as given, without any check.
    PAMControl(Control kind, std::string const& text);
    PAMControl(PAMControl const& other);
    // Parses a word or a bracketed expression; throws InvalidControlException.
    PAMControl(std::string const& text);

    PAMControl& operator=(PAMControl const& other);
    PAMControl& operator=(Control kind);
    PAMControl& operator=(std::string const& text);

    // A complex control equals only a complex control with the same text; simple controls
    // compare by kind.
    bool operator==(PAMControl const& other) const;
    bool operator==(std::string const& text) const;
    bool operator==(Control kind) const;

    // The word, or the bracketed text; throws InvalidControlException for a kind without
    // text.
    operator std::string() const;
    operator Control() const { return kind; }

private:
    Control kind;
    std::string text;
};

// The facility of a PAM statement.
class SYSTEMCONFIGURATION_EXPORT PAMFacility {
public:
    enum Facility : std::int32_t { Unset = 0, Account = 1, Auth = 2, Password = 3, Session = 4 };

    PAMFacility();
    PAMFacility(Facility kind);
    PAMFacility(PAMFacility const& other);
    // Throws InvalidFacilityException for anything but the four words.
    PAMFacility(std::string const& text);

    PAMFacility& operator=(PAMFacility const& other);
    PAMFacility& operator=(Facility kind);
    PAMFacility& operator=(std::string const& text);

    bool operator==(PAMFacility const& other) const { return kind == other.kind; }
    bool operator==(std::string const& text) const;
    bool operator==(Facility other) const { return kind == other; }
    // Orders by kind, so that account comes before auth.
    bool operator<(PAMFacility const& other) const { return kind < other.kind; }

    // Throws InvalidFacilityException for a kind without text.
    operator std::string() const;
    operator Facility() const { return kind; }

private:
    Facility kind;
};

SYSTEMCONFIGURATION_EXPORT std::ostream& operator<<(std::ostream& out, PAMFacility const& facility);
// Reads one token; an unknown or missing word throws InvalidFacilityException.
SYSTEMCONFIGURATION_EXPORT std::istream& operator>>(std::istream& in, PAMFacility& facility);

}  // namespace SystemConfiguration

#endif
