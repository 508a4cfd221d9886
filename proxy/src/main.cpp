// tslauth-proxyd: the enrolment service. Hosts that pinned its certificate ask it over HTTPS
// for a computer account; it creates the account with its own enrolment account, one Samba
// helper process per request, and answers the provisioning text of the host's offline join.
#include <httplib.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "enrolment.h"
#include "helper_client.h"
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
char const kJson[] = "application/json";

// The worker threads, and a queue no longer than there are workers: when both are full the
// accepting thread waits, and further connections wait in the kernel's listen backlog instead
// of in memory.
class BoundedPool : public httplib::TaskQueue {
public:
    explicit BoundedPool(std::size_t workers) : limit_(workers) {
        for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
    }

    void enqueue(std::function<void()> job) override {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [this] { return jobs_.size() < limit_; });
        jobs_.push_back(std::move(job));
        ready_.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }

private:
    void Work() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            room_.notify_one();
            job();
        }
    }

    std::size_t const limit_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// What a request's log line says beyond the request itself. A request is read, answered and
// logged on one worker thread.
struct RequestNote {
    std::string hostName;
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
    if (!note.message.empty()) line += " (" + Printable(note.message, 512) + ")";
    syslog(priority, "%s", line.c_str());
    note = RequestNote();
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

int Serve(ProxyConfig const& config, httplib::SSLServer& server) {
    SambaConfig samba(config.domain, kStateDirectory);
    try {
        samba.Write();
    } catch (std::exception const& error) {
        return Fail(error.what());
    }
    Enrolment enrolment(
        config, samba, [&config](Fields const& request, Fields& answer, int deadlineSeconds) {
            return sambaprovider::RunHelperAt(config.helper, request, answer, deadlineSeconds);
        });

    server.new_task_queue = [&config] {
        return new BoundedPool(static_cast<std::size_t>(config.workers));
    };
    server.set_payload_max_length(kMaxBody);
    // One request a connection: the connection's limits (tls.cpp) are then one request's.
    server.set_keep_alive_max_count(1);
    server.set_pre_routing_handler(
        [&config](httplib::Request const& request, httplib::Response& response) {
            note = RequestNote();
            if (config.allow.Allows(request.remote_addr)) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            Answer(response, RefusedReply(request.remote_addr));
            return httplib::Server::HandlerResponse::Handled;
        });
    server.Get("/v1/domain", [&enrolment](httplib::Request const&, httplib::Response& response) {
        Answer(response, enrolment.DomainInfo());
    });
    server.Post("/v1/machine-accounts",
                [&enrolment](httplib::Request const& request, httplib::Response& response) {
                    Answer(response, enrolment.CreateAccount(request.body, note.hostName));
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

    if (!server.bind_to_port(config.listenAddress, config.listenPort)) {
        return Fail("cannot listen on " + config.listenAddress + ":" +
                    std::to_string(config.listenPort) + ": " + std::strerror(errno));
    }
    // SIGTERM and SIGINT are blocked in every thread (the mask is inherited) and taken here.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGUSR1);
    std::atomic<bool> ended(false);
    std::thread stopper([&server, &ended, stopSignals] {
        int signal = 0;
        for (;;) {
            if (sigwait(&stopSignals, &signal) != 0) continue;
            if (signal != SIGUSR1) break;
            if (ended) return;  // the server ended by itself
        }
        syslog(LOG_INFO, "stopping (signal %d)", signal);
        // listen_after_bind marks the server running at once; stop() acts only then.
        while (!server.is_running() && !ended) usleep(10000);
        if (!ended) server.stop();
    });
    if (config.allow.Empty()) syslog(LOG_WARNING, "no 'allow' lines: every request is refused");
    syslog(LOG_INFO, "listening on %s:%d for %s (%d workers, certificate %s)",
           config.listenAddress.c_str(), config.listenPort, config.domain.c_str(), config.workers,
           Thumbprint(*server.ssl_context()).c_str());
    bool const listened = server.listen_after_bind();
    ended = true;
    pthread_kill(stopper.native_handle(), SIGUSR1);
    stopper.join();
    int const listenError = errno;
    enrolment.Drain();
    if (!listened)
        return Fail("the listening socket failed: " + std::string(std::strerror(listenError)));
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
    } catch (ConfigError const& error) {
        return Fail(error.what());
    }
    std::string tlsError;
    httplib::SSLServer server([&](SSL_CTX& context) {
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
