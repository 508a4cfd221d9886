#ifndef AUTHENTICATION_QAP_THUMBPRINT_STORE_H
#define AUTHENTICATION_QAP_THUMBPRINT_STORE_H

// Not thread-safe: one thread at a time per object. A value holding its own copy of the file's
// entries; ImportThumbprint takes no lock on the file.

#include <authentication/configuration.h>
#include <authentication/export.h>

#include <string>

namespace ostrel {
namespace authentication {

// The certificate thumbprints of authentication-proxy servers, keyed by the server address
// exactly as it was given ("AB:01:...:FF", SHA-1 of the certificate's DER form). The file
// (normally "/etc/ostrel/tslauth/qapservers.conf") is read whole at construction and only
// ever replaced whole.
class TSLAUTH_EXPORT QAPThumbprintStore {
public:
    // Throws IOError when the file cannot be read and ConfigurationError when it is malformed.
    explicit QAPThumbprintStore(std::string const& path);
    ~QAPThumbprintStore();

    // The thumbprint stored for the server, or empty when there is none.
    std::string LookupThumbprint(std::string const& server) const;

    // Records the thumbprint for the server and replaces the file atomically; an unchanged
    // thumbprint writes nothing. Note the order: thumbprint first.
    void ImportThumbprint(std::string const& thumbprint, std::string const& server);

private:
    Configuration configuration;
};

}  // namespace authentication
}  // namespace ostrel

#endif
