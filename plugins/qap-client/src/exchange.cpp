#include "exchange.h"

#include <dlfcn.h>
#include <httplib.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>

#include <chrono>
#include <cstdint>

#include "failure.h"

namespace qapclient {

namespace {

#if defined(__SANITIZE_THREAD__)
// The thread checker's suppressions (tools/tsan-suppressions.txt) ignore the C library calls
// of the compiled HTTP library with called_from_lib, and the checker ends a process in which
// a library named so is unloaded, as unloading this plug-in would. In that build only, the
// HTTP library stays loaded once this plug-in has been.
__attribute__((constructor)) void KeepHttpLibraryLoaded() {
    dlopen("libcpp-httplib.so.0.11", RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
}
#endif

// The pinned thumbprint and what the handshake showed, for one connection.
struct PinCheck {
    explicit PinCheck(std::string const& pinned) : pinned(pinned) {}
    std::string const& pinned;
    bool rejected = false;
    std::string presented;
};

// The SSL_CTX's verification callback: the leaf certificate's thumbprint alone decides, so a
// self-signed certificate passes when pinned and nothing else does. Returning 0 aborts the
// handshake (SSL_VERIFY_PEER), before any byte of the request is sent.
int CheckPin(X509_STORE_CTX* store, void* argument) noexcept {
    PinCheck* const check = static_cast<PinCheck*>(argument);
    try {
        X509* const leaf = X509_STORE_CTX_get0_cert(store);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (leaf != nullptr && X509_digest(leaf, EVP_sha1(), digest, &length) > 0) {
            check->presented = FormatThumbprint(digest, length);
            if (strcasecmp(check->presented.c_str(), check->pinned.c_str()) == 0) return 1;
        }
    } catch (...) {
        check->presented.clear();
    }
    check->rejected = true;
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    return 0;
}

// A write to a connection the service has closed raises SIGPIPE in the writing thread, which
// would end the host program: it is held back in this thread during the exchange, and one
// raised here is taken before the mask is restored. Other threads are not affected.
class HoldSigpipe {
public:
    HoldSigpipe() {
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &previous);
        sigset_t pending;
        sigpending(&pending);
        wasPending = sigismember(&pending, SIGPIPE) == 1;
    }
    ~HoldSigpipe() {
        sigset_t pending;
        sigpending(&pending);
        if (!wasPending && sigismember(&pending, SIGPIPE) == 1) {
            timespec const now = {0, 0};
            sigtimedwait(&pipe, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    HoldSigpipe(HoldSigpipe const&) = delete;
    HoldSigpipe& operator=(HoldSigpipe const&) = delete;

private:
    sigset_t pipe;
    sigset_t previous;
    bool wasPending = false;
};

std::string Where(Endpoint const& endpoint, char const* method, char const* path) {
    std::string const address = endpoint.address.find(':') == std::string::npos
                                    ? endpoint.address
                                    : "[" + endpoint.address + "]";
    return std::string(method) + " " + path + " at " + address + ":" +
           std::to_string(endpoint.port);
}

}  // namespace

std::string FormatThumbprint(unsigned char const* digest, unsigned int length) {
    static char const digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i != 0) text += ':';
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 0x0f];
    }
    return text;
}

Answer Exchange(Endpoint const& endpoint, Trust const& trust, char const* method, char const* path,
                std::string const& body) {
    std::string const where = Where(endpoint, method, path);
    httplib::SSLClient client(endpoint.address, endpoint.port);
    SSL_CTX* const context = client.ssl_context();
    if (!client.is_valid() || context == nullptr) {
        ERR_clear_error();
        throw Failure(kMalformedAnswer, where + ": no TLS context");
    }
    // Its own check would set every connection back to SSL_VERIFY_NONE and look only after
    // the handshake; the pin is checked in the handshake instead.
    client.enable_server_certificate_verification(false);
    client.set_connection_timeout(kConnectSeconds);
    client.set_write_timeout(kWriteSeconds);
    client.set_read_timeout(kReadSeconds);
    client.set_keep_alive(false);
    client.set_follow_location(false);
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    PinCheck pin(trust.thumbprint);
    if (trust.verify) {
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_cert_verify_callback(context, CheckPin, &pin);
    } else {
        SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    }

    httplib::Request request;
    request.method = method;
    request.path = path;
    request.set_header("Accept", "application/json");
    if (!body.empty()) {
        request.set_header("Content-Type", "application/json");
        request.body = body;
    }
    Answer answer;
    answer.where = where;
    bool tooLong = false;
    request.content_receiver = [&](char const* data, std::size_t length, std::uint64_t,
                                   std::uint64_t) {
        if (length > kMaxAnswerBytes - answer.body.size()) {
            tooLong = true;
            return false;
        }
        answer.body.append(data, length);
        return true;
    };

    httplib::Response response;
    httplib::Error error = httplib::Error::Success;
    auto const start = std::chrono::steady_clock::now();
    bool sent = false;
    {
        HoldSigpipe const hold;
        sent = client.send(request, response, error);
    }
    auto const waited = std::chrono::steady_clock::now() - start;
    // OpenSSL's reasons stay out of the error queue that other users of it in the process see.
    ERR_clear_error();
    if (pin.rejected) {
        throw Failure(kUntrustedCertificate,
                      where + ": the server's certificate " +
                          (pin.presented.empty() ? "has no thumbprint"
                                                 : "has the thumbprint " + pin.presented) +
                          ", not the pinned " + trust.thumbprint);
    }
    if (tooLong) {
        throw Failure(kMalformedAnswer,
                      where + ": answer longer than " + std::to_string(kMaxAnswerBytes) + " bytes");
    }
    if (!sent) {
        // cpp-httplib reports an expired wait in the handshake or the answer like any other
        // failure of that step; the call ran for at least the step's bound only when it
        // timed out.
        auto ranFor = [&](int seconds) { return waited >= std::chrono::seconds(seconds); };
        std::string const reason = where + ": " + httplib::to_string(error);
        switch (error) {
            case httplib::Error::Connection:
                throw Failure(kConnectionRefused, reason);
            case httplib::Error::ConnectionTimeout:
                throw Failure(kTimedOut, reason);
            case httplib::Error::SSLConnection:
                throw Failure(ranFor(kConnectSeconds) ? kTimedOut : kConnectionInvalid, reason);
            case httplib::Error::Write:
                throw Failure(ranFor(kWriteSeconds) ? kTimedOut : kConnectionInvalid, reason);
            case httplib::Error::Read:
                throw Failure(ranFor(kReadSeconds) ? kTimedOut : kConnectionInvalid, reason);
            default:
                throw Failure(kMalformedAnswer, reason);
        }
    }
    answer.httpStatus = response.status;
    return answer;
}

}  // namespace qapclient
