#ifndef SAMBA_HELPER_NETAPI_SESSION_H
#define SAMBA_HELPER_NETAPI_SESSION_H

// libnetapi's one context for this process. Samba's debug output stays off: at high levels
// it prints the administrator's password.
#include <stdbool.h>
#include <stdint.h>
// netapi.h needs the two headers above first.
#include <netapi.h>

#include <string>

namespace sambahelper {

class NetapiSession {
public:
    NetapiSession();
    ~NetapiSession();
    NetapiSession(NetapiSession const&) = delete;
    NetapiSession& operator=(NetapiSession const&) = delete;

    bool Ready() const { return context != nullptr; }
    // libnetapi reads smb.conf once per context: after the configuration changed, start over.
    void Restart();
    // Lets go of the context, and with it of the machine secrets it holds open.
    void Close();
    void SetCredentials(std::string const& user, std::string const& password);
    // libnetapi's text for the last failure, for the log.
    std::string ErrorText(NET_API_STATUS status);
    std::string const& User() const { return user; }
    std::string const& Password() const { return password; }
    // From now on a session's end leaves its context to the end of the process (see there).
    static void EndWithProcess();

private:
    void Start();
    libnetapi_ctx* context = nullptr;
    std::string user, password;
};

}  // namespace sambahelper

#endif
