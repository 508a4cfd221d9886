#ifndef AUTHENTICATION_CONFIGURATION_H
#define AUTHENTICATION_CONFIGURATION_H

#include <authentication/export.h>

#include <map>
#include <string>
#include <utility>

namespace ostrel {
namespace authentication {

// A key-value file ("key = value" lines) loaded into an ordered map. operator[] never
// inserts: a missing key is an InvalidKeyException. Changes reach the file through Write.
// Not thread-safe, nor are the subclasses below: one thread at a time per object. A value: it
// holds its own copy of the entries, and Write takes no lock on the file.
class TSLAUTH_EXPORT Configuration : public std::map<std::string, std::string> {
public:
    // Loads the file; throws IOError when it cannot be read and ConfigurationError for a
    // malformed line.
    explicit Configuration(std::string const& path);
    virtual ~Configuration();

    std::string const& operator[](std::string const& key) const;
    std::string& operator[](std::string const& key);

    // Replaces the file atomically with the map in canonical form. Entries that would not
    // read back as they are (line feeds, empty keys, keys with "=", blanks or quotes around
    // them) are refused with ConfigurationError before the file is touched.
    virtual void Write() const;

    std::string const& GetPath() const { return path; }

private:
    std::string path;
};

// Splits one line at its first "=" and cleans key and value (blanks trimmed, one outer pair
// of matching quotes removed). lineNumber only serves the error messages.
TSLAUTH_EXPORT std::pair<std::string, std::string> GetKeyValuePair(std::string const& line,
                                                                   int lineNumber);

// "/etc/ostrel/tslauth/authentication.conf": "remote-authentication-store".
class TSLAUTH_EXPORT AuthenticationConfiguration : public Configuration {
public:
    AuthenticationConfiguration();
};

// "/etc/ostrel/tslauth/provider.conf": "provider", the Active Directory provider plug-in.
class TSLAUTH_EXPORT ProviderConfiguration : public Configuration {
public:
    ProviderConfiguration();
};

// "/etc/ostrel/tslauth/qapprovider.conf": "provider", the proxy-client plug-in.
class TSLAUTH_EXPORT QAPProviderConfiguration : public Configuration {
public:
    QAPProviderConfiguration();
};

}  // namespace authentication
}  // namespace ostrel

#endif
