#include "exchange.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <thumbprint.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

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
        if (leaf != nullptr) {
            check->presented = tslthumbprint::OfCertificate(*leaf);
            if (tslthumbprint::Same(check->presented, check->pinned)) return 1;
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

// The bounds of one exchange over everything the HTTP library does: a deadline for the whole
// of it, enforced by a thread that shuts the socket down, and a count of the bytes received,
// past which it is shut down too. The library reads on the calling thread, so the TLS
// callbacks find the exchange there.
class Bounds {
public:
    Bounds()
        : deadline_(std::chrono::steady_clock::now() + std::chrono::seconds(kExchangeSeconds)) {
        timer_ = std::thread([this] { Watch(); });
    }
    ~Bounds() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ended_ = true;
        }
        changed_.notify_all();
        timer_.join();
        if (socket_ >= 0) close(socket_);
    }
    Bounds(Bounds const&) = delete;
    Bounds& operator=(Bounds const&) = delete;

    // The connection's socket, once the handshake starts: a duplicate, which stays open until
    // the exchange ends, so that its number is never another file's when it is shut down.
    void Follow(int socket) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (socket_ >= 0 || socket < 0) return;
        socket_ = fcntl(socket, F_DUPFD_CLOEXEC, 0);
        if (expired_ && socket_ >= 0) shutdown(socket_, SHUT_RDWR);
    }
    void Received(std::size_t bytes) {
        received_ += bytes;
        if (received_ > kMaxReceivedBytes && !tooMuch_) {
            tooMuch_ = true;
            std::lock_guard<std::mutex> lock(mutex_);
            if (socket_ >= 0) shutdown(socket_, SHUT_RDWR);
        }
    }
    bool Expired() {
        std::lock_guard<std::mutex> lock(mutex_);
        return expired_;
    }
    bool TooMuch() const { return tooMuch_; }

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (changed_.wait_until(lock, deadline_, [this] { return ended_; })) return;
        expired_ = true;
        if (socket_ >= 0) shutdown(socket_, SHUT_RDWR);
    }

    std::chrono::steady_clock::time_point const deadline_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ended_ = false;
    bool expired_ = false;
    int socket_ = -1;
    std::size_t received_ = 0;  // the calling thread's only
    bool tooMuch_ = false;
    std::thread timer_;
};

thread_local Bounds* bounds = nullptr;

long CountReads(BIO*, int operation, char const*, std::size_t, int, long, int result,
                std::size_t* processed) {
    if (operation == (BIO_CB_READ | BIO_CB_RETURN) && result > 0 && processed != nullptr &&
        bounds != nullptr) {
        bounds->Received(*processed);
    }
    return result;
}

// Before the handshake's first byte: the socket is followed and its reads counted.
void FollowHandshake(SSL const* ssl, int where, int) {
    if ((where & SSL_CB_HANDSHAKE_START) == 0 || bounds == nullptr) return;
    bounds->Follow(SSL_get_fd(ssl));
    BIO* const socket = SSL_get_rbio(ssl);
    if (socket != nullptr && BIO_get_callback_ex(socket) != CountReads) {
        BIO_set_callback_ex(socket, CountReads);
    }
}

std::string Where(Endpoint const& endpoint, char const* method, char const* path) {
    std::string const address = endpoint.address.find(':') == std::string::npos
                                    ? endpoint.address
                                    : "[" + endpoint.address + "]";
    return std::string(method) + " " + path + " at " + address + ":" +
           std::to_string(endpoint.port);
}

}  // namespace

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
    SSL_CTX_set_info_callback(context, FollowHandshake);
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
    bool expired = false, tooMuch = false;
    {
        HoldSigpipe const hold;
        Bounds exchange;
        bounds = &exchange;
        sent = client.send(request, response, error);
        bounds = nullptr;
        expired = exchange.Expired();
        tooMuch = exchange.TooMuch();
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
    if (!sent && tooMuch) {
        throw Failure(kMalformedAnswer, where + ": the answer (headers included) is longer than " +
                                            std::to_string(kMaxReceivedBytes) + " bytes");
    }
    if (!sent && expired) {
        throw Failure(kTimedOut, where + ": no whole answer within " +
                                     std::to_string(kExchangeSeconds) + " s");
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
