// tslauth-proxyd: the enrolment service. Hosts that pinned its certificate ask it over HTTPS
// for a computer account; it creates the account with its own enrolment account, one Samba
// helper process per request, and answers the provisioning text of the host's offline join.
#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "connections.h"
#include "enrolment.h"
#include "helper_client.h"
#include "helper_pool.h"
#include "samba_config.h"
#include "tls.h"

namespace {

using namespace proxyd;

char const kUsage[] =
    "Usage: tslauth-proxyd [--config FILE] [--check] [--foreground]\n"
    "       tslauth-proxyd --help\n"
    "  --config FILE  the configuration (default /etc/tslauth-proxyd/proxyd.conf)\n"
    "  --check        validate the configuration, certificate and key, then exit\n"
    "  --foreground   also write the log lines to standard error\n";
std::size_t const kMaxBody = 64 * 1024;
// Connections the kernel holds before the service accepts them; it accepts at once and closes
// what it cannot serve, so this only absorbs a burst.
int const kListenBacklog = 128;
char const kJson[] = "application/json";

// What a request's log line says beyond the request itself. A request is read, answered and
// logged on one worker thread.
struct RequestNote {
    std::string hostName;
    std::string container;  // as the request named it
    uint32_t status = 0;
    std::string message;
};
thread_local RequestNote note;

// Peer-supplied text in a log line: printable ASCII only, and not too long.
std::string Printable(std::string const& text, std::size_t limit) {
    std::string out;
    for (char c : text.substr(0, limit)) {
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    if (text.size() > limit) out += "...";
    return out;
}

void Answer(httplib::Response& response, Reply const& reply) {
    response.status = reply.httpStatus;
    response.set_content(reply.body, kJson);
    note.status = reply.status;
    note.message = reply.message;
}

void LogRequest(httplib::Request const& request, httplib::Response const& response) {
    int const priority = response.status >= 500   ? LOG_ERR
                         : response.status >= 400 ? LOG_WARNING
                                                  : LOG_INFO;
    // Empty fields are those of a request too malformed to read.
    auto field = [](std::string const& text, std::size_t limit) {
        return text.empty() ? std::string("-") : Printable(text, limit);
    };
    std::string line = field(request.remote_addr, 64) + " " + field(request.method, 16) + " " +
                       field(request.path, 256) + " host " + field(note.hostName, 256) + ": " +
                       std::to_string(response.status) + " status " + std::to_string(note.status);
    // An account request names the container it asked for ("-": the default).
    if (request.method == "POST") line += " container " + field(note.container, 256);
    if (!note.message.empty()) line += " (" + Printable(note.message, 512) + ")";
    syslog(priority, "%s", line.c_str());
    note = RequestNote();
    if (Connection* const connection = CurrentConnection()) connection->logged = true;
}

struct Options {
    std::string config = kDefaultConfigPath;
    bool check = false;
    bool foreground = false;
    bool help = false;
};

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string const argument = argv[i];
        if (argument == "--config" && i + 1 < argc) {
            options.config = argv[++i];
        } else if (argument == "--check") {
            options.check = true;
        } else if (argument == "--foreground") {
            options.foreground = true;
        } else if (argument == "--help" && argc == 2) {
            options.help = true;
        } else {
            return false;
        }
    }
    return true;
}

// Whether syslog also writes to standard error (--foreground, --check).
bool mirrored = false;

// Why the service cannot start or go on: in the log, and on standard error in any case.
int Fail(std::string const& message) {
    syslog(LOG_ERR, "%s", message.c_str());
    if (!mirrored) std::cerr << "tslauth-proxyd: " << message << "\n";
    return 1;
}

// The HTTP library serves a connection in SSLServer's process_and_close_socket (handshake,
// one request, answer, close), which it calls only from its own accept loop, where nothing
// can be checked or bounded before the handshake. The service accepts connections itself and
// hands each one to that member through a pointer to it: an explicit instantiation may name a
// private member.
using ServeSocket = bool (httplib::SSLServer::*)(socket_t);
ServeSocket LibraryServeSocket();
template <ServeSocket Member>
struct ExposeServeSocket {
    friend ServeSocket LibraryServeSocket() { return Member; }
};
template struct ExposeServeSocket<&httplib::SSLServer::process_and_close_socket>;

class Gate : public httplib::SSLServer {
public:
    using httplib::SSLServer::SSLServer;
    // The library serves a connection only while its listening socket is valid.
    void Open(int listening) { svr_sock_ = listening; }
    void Serve(int socket) { (this->*LibraryServeSocket())(socket); }
};

// The listening socket: IPv4, or IPv6 taking IPv4 too; -1 with errno on failure.
int Listen(std::string const& address, int port) {
    sockaddr_storage storage = {};
    socklen_t length = 0;
    bool const v6 = address.find(':') != std::string::npos;
    if (v6) {
        auto* const in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr) != 1) return errno = EINVAL, -1;
        length = sizeof *in6;
    } else {
        auto* const in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, address.c_str(), &in4->sin_addr) != 1) return errno = EINVAL, -1;
        length = sizeof *in4;
    }
    int const fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    int const yes = 1, no = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (v6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        listen(fd, kListenBacklog) != 0) {
        int const error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::string PeerAddress(sockaddr_storage const& peer) {
    char text[INET6_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in const*>(&peer)->sin_addr, text,
                  sizeof text);
    } else if (peer.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 const*>(&peer)->sin6_addr, text,
                  sizeof text);
    }
    return text;
}

// The log line of a connection that ended without a request the HTTP library could log.
void LogUnserved(Connection const& connection) {
    std::string why;
    if (connection.overBudget) {
        why = "cut: it sent more than " + std::to_string(kConnectionBytes / 1024) + " KiB";
    } else if (connection.cut) {
        why = "cut at its deadline";
    } else if (!connection.handshaken) {
        unsigned long const error = ERR_peek_error();
        char const* const reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
        why =
            std::string("no TLS handshake") + (reason != nullptr ? std::string(": ") + reason : "");
    } else {
        why = "closed before a whole request";
    }
    syslog(LOG_WARNING, "%s: %s", Printable(connection.peer, 64).c_str(), why.c_str());
}

// Ends the accept loop; written to by the signal thread.
int stopPipe[2] = {-1, -1};

int Serve(ProxyConfig const& config, Gate& server) {
    SambaConfig samba(config.domain, kStateDirectory);
    try {
        samba.Write();
    } catch (std::exception const& error) {
        return Fail(error.what());
    }
    // Provisionings go to helpers that stay and keep their DC connections (as many waiting as
    // there are workers); the rarer domain questions and deletions each get a helper run.
    sambaprovider::HelperPool provisioners(config.helper, static_cast<std::size_t>(config.workers));
    Enrolment enrolment(
        config, samba,
        [&config, &provisioners](Fields const& request, Fields& answer, int deadlineSeconds) {
            auto const op = request.find("op");
            if (op != request.end() && op->second == "provision")
                return provisioners.Run(request, answer, deadlineSeconds);
            return sambaprovider::RunHelperAt(config.helper, request, answer, deadlineSeconds);
        });
    Watchdog watchdog;
    // The request is read: answering it may take dc-timeout and a little more.
    auto answering = [&watchdog, &config] {
        if (Connection* const connection = CurrentConnection()) {
            watchdog.Answering(
                *connection,
                Clock::now() + std::chrono::seconds(config.dcTimeoutSeconds + kAnswerSeconds));
        }
    };

    // One request a connection: the connection's limits are then one request's.
    server.set_keep_alive_max_count(1);
    server.set_payload_max_length(kMaxBody);
    server.set_pre_routing_handler(
        [&config](httplib::Request const& request, httplib::Response& response) {
            note = RequestNote();
            if (config.allow.Allows(request.remote_addr)) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            Answer(response, RefusedReply(request.remote_addr));
            return httplib::Server::HandlerResponse::Handled;
        });
    server.Get("/v1/domain",
               [&enrolment, &answering](httplib::Request const&, httplib::Response& response) {
                   answering();
                   Answer(response, enrolment.DomainInfo());
               });
    // The body is read here, whatever its transfer encoding, and no further than the limit.
    server.Post("/v1/machine-accounts", [&enrolment, &answering](
                                            httplib::Request const& request,
                                            httplib::Response& response,
                                            httplib::ContentReader const& reader) {
        std::string const type = request.get_header_value("Content-Type");
        std::string const media = type.substr(0, type.find(';'));
        if (media.find_first_not_of(" \t") == std::string::npos ||
            strcasecmp(media.substr(0, media.find_last_not_of(" \t") + 1).c_str(), kJson) != 0) {
            Answer(response, ErrorReply(415, 87, "the body must be application/json"));
            return;
        }
        std::string body;
        bool tooLong = false;
        bool const read = reader([&](char const* data, std::size_t length) {
            if (length > kMaxBody - body.size()) {
                tooLong = true;
                return false;
            }
            body.append(data, length);
            return true;
        });
        if (tooLong) {
            Answer(response, ErrorReply(400, 87, "the request body is larger than 64 KiB"));
            return;
        }
        if (!read) {
            Answer(response, ErrorReply(400, 87, "the request body ended early"));
            return;
        }
        answering();
        Answer(response, enrolment.CreateAccount(body, note.hostName, note.container));
    });
    // What the HTTP library answers by itself (no such path, a malformed or too large request)
    // gets a JSON body too; a peer it could not check is refused.
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [&config](httplib::Request const& request, httplib::Response& response) {
            if (response.get_header_value("Content-Type") == kJson) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            if (!config.allow.Allows(request.remote_addr)) {
                Answer(response, RefusedReply(request.remote_addr));
            } else if (response.status == 404) {
                Answer(response, ErrorReply(404, 87, "no such resource"));
            } else if (response.status == 413) {
                Answer(response, ErrorReply(400, 87, "the request body is larger than 64 KiB"));
            } else if (response.status < 500) {
                Answer(response, ErrorReply(400, 87, "malformed request"));
            } else {
                Answer(response, ErrorReply(500, 1359, "internal error"));
            }
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_exception_handler(
        [](httplib::Request const&, httplib::Response& response, std::exception_ptr) {
            Answer(response, ErrorReply(500, 1359, "internal error"));
        });
    server.set_logger(LogRequest);

    int const listening = Listen(config.listenAddress, config.listenPort);
    if (listening < 0) {
        return Fail("cannot listen on " + config.listenAddress + ":" +
                    std::to_string(config.listenPort) + ": " + std::strerror(errno));
    }
    server.Open(listening);
    if (pipe2(stopPipe, O_CLOEXEC) != 0) return Fail(std::string("pipe: ") + std::strerror(errno));
    auto serve = [&server, &watchdog](std::unique_ptr<Connection> connection) {
        if (connection->servingSeconds > 0 && !connection->cut) {
            watchdog.Watch(*connection,
                           Clock::now() + std::chrono::seconds(connection->servingSeconds));
        }
        SetCurrentConnection(connection.get());
        connection->handedOver = true;
        ERR_clear_error();
        server.Serve(connection->socket);
        SetCurrentConnection(nullptr);
        watchdog.Forget(*connection);
        if (!connection->logged) LogUnserved(*connection);
        ERR_clear_error();
    };
    // Allowed peers: `workers` served, kWaitingConnections waiting. One address holds at most
    // all workers but one and half the waiting places, so that peers at other addresses still
    // get served while it sends slowly. The others get their refusal from a thread of their
    // own, one at a time, so that they never hold a worker.
    std::size_t const workers = static_cast<std::size_t>(config.workers);
    Lane allowed(workers, kWaitingConnections, serve, workers > 1 ? workers - 1 : 1,
                 kWaitingConnections / 2);
    Lane refused(1, 1, serve);

    // SIGTERM and SIGINT are blocked in every thread (the mask is inherited) and taken here.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGUSR1);
    std::thread stopper([stopSignals] {
        int signal = 0;
        while (sigwait(&stopSignals, &signal) != 0) {
        }
        if (signal != SIGUSR1) syslog(LOG_INFO, "stopping (signal %d)", signal);
        char const byte = 0;
        while (write(stopPipe[1], &byte, 1) < 0 && errno == EINTR) {
        }
    });
    if (config.allow.Empty()) syslog(LOG_WARNING, "no 'allow' lines: every request is refused");
    syslog(LOG_INFO, "listening on %s:%d for %s (%d workers, certificate %s)",
           config.listenAddress.c_str(), config.listenPort, config.domain.c_str(), config.workers,
           Thumbprint(*server.ssl_context()).c_str());
    int listenError = 0;
    for (;;) {
        pollfd ready[2] = {{listening, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        if (poll(ready, 2, -1) < 0) {
            if (errno == EINTR) continue;
            listenError = errno;
            break;
        }
        if (ready[1].revents != 0) break;
        sockaddr_storage peer = {};
        socklen_t length = sizeof peer;
        int const fd =
            accept4(listening, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                syslog(LOG_ERR, "cannot accept a connection: %s", std::strerror(errno));
                poll(&ready[1], 1, 100);  // the connections under way end meanwhile
            }
            continue;
        }
        auto connection = std::make_unique<Connection>(fd, PeerAddress(peer));
        bool const mayEnrol = config.allow.Allows(connection->peer);
        if (mayEnrol) connection->servingSeconds = kRequestSeconds;
        watchdog.Watch(*connection, Clock::now() + std::chrono::seconds(
                                                       mayEnrol ? kQueueSeconds : kRefusalSeconds));
        Connection& added = *connection;
        if (!(mayEnrol ? allowed : refused).Add(connection)) {
            watchdog.Forget(added);
            std::string const why =
                mayEnrol ? "every worker is busy and " + std::to_string(kWaitingConnections) +
                               " connections wait, or its address has its share"
                         : "the address may not enrol, and a refusal is under way";
            syslog(LOG_WARNING, "%s: closed at once: %s", Printable(connection->peer, 64).c_str(),
                   why.c_str());
        }
    }
    // Connections still sending their request are cut; those being answered end within their
    // deadline.
    watchdog.Stop();
    close(listening);
    refused.Stop();
    allowed.Stop();
    pthread_kill(stopper.native_handle(), SIGUSR1);
    stopper.join();
    enrolment.Drain();
    if (listenError != 0) {
        return Fail("the listening socket failed: " + std::string(std::strerror(listenError)));
    }
    syslog(LOG_INFO, "stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::cerr << kUsage;
        return 2;
    }
    if (options.help) {
        std::cout << kUsage;
        return 0;
    }
    // Before any thread exists, so that all inherit the mask; the helper gets a clean one.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    signal(SIGPIPE, SIG_IGN);
    mirrored = options.foreground || options.check;
    openlog("tslauth-proxyd", LOG_PID | (mirrored ? LOG_PERROR : 0), LOG_AUTH);

    ProxyConfig config;
    try {
        config = LoadConfig(options.config);
        CheckPrivateKey(config.privateKey);
    } catch (ConfigError const& error) {
        return Fail(error.what());
    }
    std::string tlsError;
    Gate server([&](SSL_CTX& context) {
        return ConfigureTls(context, config.certificate, config.privateKey, tlsError);
    });
    if (!server.is_valid()) return Fail(tlsError.empty() ? "TLS could not be set up" : tlsError);
    if (access(config.helper.c_str(), X_OK) != 0) {
        return Fail("the helper " + config.helper + " cannot be run: " + std::strerror(errno));
    }
    if (options.check) {
        std::cout << options.config << ": valid; listens on " << config.listenAddress << ":"
                  << config.listenPort << "; certificate SHA-1 thumbprint "
                  << Thumbprint(*server.ssl_context()) << "\n";
        return 0;
    }
    return Serve(config, server);
}
