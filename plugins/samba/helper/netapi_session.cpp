#include "netapi_session.h"

namespace sambahelper {

namespace {
// libnetapi_free first says goodbye on each of the context's connections and waits for the
// answers: 10 to 20 s for each to a DC that stopped answering during the operation. In a
// process that ends with its session, that end closes them at once.
bool sessionsEndWithProcess = false;
}  // namespace

void NetapiSession::EndWithProcess() {
    sessionsEndWithProcess = true;
}

NetapiSession::NetapiSession() {
    Start();
}

NetapiSession::~NetapiSession() {
    if (context != nullptr && !sessionsEndWithProcess) libnetapi_free(context);
}

void NetapiSession::Start() {
    if (libnetapi_init(&context) != 0) {
        context = nullptr;
        return;
    }
    libnetapi_set_debuglevel(context, "0");
    if (!user.empty()) {
        libnetapi_set_username(context, user.c_str());
        libnetapi_set_password(context, password.c_str());
    }
}

void NetapiSession::Restart() {
    if (context != nullptr) libnetapi_free(context);
    context = nullptr;
    Start();
}

void NetapiSession::Close() {
    if (context != nullptr) libnetapi_free(context);
    context = nullptr;
}

void NetapiSession::SetCredentials(std::string const& newUser, std::string const& newPassword) {
    user = newUser;
    password = newPassword;
    if (context != nullptr) {
        libnetapi_set_username(context, user.c_str());
        libnetapi_set_password(context, password.c_str());
    }
}

std::string NetapiSession::ErrorText(NET_API_STATUS status) {
    char* text = libnetapi_get_error_string(context, status);
    std::string result = text != nullptr ? text : "";
    if (text != nullptr) NetApiBufferFree(text);
    return result;
}

}  // namespace sambahelper
