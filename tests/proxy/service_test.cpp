// The enrolment service as peers meet it: the built tslauth-proxyd on the sandbox's loopback
// with a stand-in for the Samba helper, attacked the ways a peer on the management network
// could. Only 127.0.0.1 may enrol; 127.0.0.2 stands for everyone else.
#ifdef TSLAUTH_PROXYD
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.h"
#include "test_certificate.h"

extern char** environ;

namespace {

int const kPort = 9443;
std::string const kHelper = "/usr/libexec/tslauth/lib/helper-stand-in";
std::string const kConfig = "/etc/tslauth-proxyd/proxyd.conf";
std::string const kKey = "/etc/tslauth-proxyd/proxyd.key";

// Answers every run (on descriptor 3) as the helper does for a DC that agrees, one request
// read to its end or, as a long-lived helper (--serve), one frame; notes the operation in
// helper-runs; for a host name starting with "stall" it writes its PID to helper-pids and waits
// until it is killed.
std::string HelperScript() {
    std::string const scratch = sandbox::ScratchDirectory();
    return "#!/bin/sh\nexec <&3 >&3\nif [ \"$1\" = --serve ]; then read -r word length; "
           "request=$(head -c $((length + 1))); else request=$(cat); fi\n"
           "printf '%s\\n' \"$request\" | sed -n '/^op /{n;p;}' >>" +
           scratch + "/helper-runs\ncase $request in *'host-name '*\"\nstall\"*) echo $$ >>" +
           scratch +
           "/helper-pids; exec sleep 600;; esac\n"
           "answer='status 1\n0\nnetbios-domain 4\nCORP\ndns-domain 12\ncorp.example\n"
           "sid 14\nS-1-5-21-1-2-3\naccount 5\nHV01$\nprovisioning 4\nUHJv\n'\n"
           "if [ \"$1\" = --serve ]; then printf 'frame %d\\n%s\\n' ${#answer} \"$answer\"; "
           "else printf '%s' \"$answer\"; fi\n";
}

// The configuration, certificate and key, with settings beyond the required ones.
void Configure(std::string const& settings) {
    if (!sandbox::PathExists("/etc/tslauth-proxyd"))
        sandbox::MakeDirectory("/etc/tslauth-proxyd", 0700);
    test_certificate::Certificate const certificate = test_certificate::Make("127.0.0.1");
    sandbox::WriteFile("/etc/tslauth-proxyd/proxyd.pem", certificate.pem);
    sandbox::WriteFile(kKey, certificate.keyPem, 0600);
    sandbox::WriteFile(kConfig,
                       "listen = 127.0.0.1:" + std::to_string(kPort) +
                           "\ncertificate = /etc/tslauth-proxyd/proxyd.pem\nprivate-key = " + kKey +
                           "\ndomain = corp.example\nuser = enrol\npassword = pw\n" +
                           "allow = 127.0.0.1\nhelper = " + kHelper + "\n" + settings,
                       0600);
}

// The service, started with those settings; its log lines are what it writes to standard
// error (--foreground).
class Service {
public:
    explicit Service(std::string const& settings) {
        Configure(settings);
        int pipe[2];
        EXPECT_EQ(0, pipe2(pipe, O_CLOEXEC));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe[1], 2);
        char const* const argv[] = {TSLAUTH_PROXYD, "--foreground", "--config", kConfig.c_str(),
                                    nullptr};
        EXPECT_EQ(0, posix_spawn(&pid_, TSLAUTH_PROXYD, &actions, nullptr, const_cast<char**>(argv),
                                 environ));
        posix_spawn_file_actions_destroy(&actions);
        close(pipe[1]);
        err_ = pipe[0];
        EXPECT_NE(std::string::npos, Log("listening on").find("listening on")) << log_;
    }
    ~Service() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (err_ >= 0) close(err_);
    }

    // SIGTERM, then its exit status once it ended (-1 when it did not within 20 s).
    int Stop() {
        kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            int status = -1;
            Wait(log_, 100);
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
        return -1;
    }
    // The log so far, or until `text` appears (within 30 s).
    std::string Log(std::string const& text = "") {
        while (Wait(log_, 0)) {
        }
        for (int i = 0; i < 300 && log_.find(text) == std::string::npos; ++i) Wait(log_, 100);
        return log_;
    }

private:
    // Reads what the service wrote within `ms`; false at its end or when nothing came.
    bool Wait(std::string& into, int ms) {
        pollfd ready = {err_, POLLIN, 0};
        if (poll(&ready, ended_ ? 0 : 1, ms) != 1) return false;
        char buffer[4096];
        ssize_t const n = read(err_, buffer, sizeof buffer);
        ended_ = n <= 0;
        if (n <= 0) return false;
        into.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int err_ = -1;
    bool ended_ = false;  // standard error is closed
    std::string log_;
};

// A TCP connection to the service from `from` (127.0.0.1 may enrol, 127.0.0.2 may not).
int Connect(char const* from) {
    int const fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, from, &address.sin_addr);
    EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    address.sin_port = htons(kPort);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    return fd;
}

// Whether the service closed the connection within `ms` (it reads nothing of ours).
bool Closed(int fd, int ms) {
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, ms) != 1) return false;
    char byte;
    return recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

// The beginning of a TLS handshake record of 512 bytes, then one byte of it every second
// until the service closes the connection (at most 60 s): "cut" or "held".
std::string Trickle(int fd) {
    char const header[] = "\x16\x03\x01\x02\x00";
    send(fd, header, 5, MSG_NOSIGNAL);
    for (int i = 0; i < 60; ++i) {
        if (Closed(fd, 1000)) return "cut";
        send(fd, "\x01", 1, MSG_NOSIGNAL);
    }
    return "held";
}

// The status line and body of GET /v1/domain from `from`, over TLS of the test's own.
std::string AskFrom(char const* from) {
    int const fd = Connect(from);
    SSL_CTX* const context = SSL_CTX_new(TLS_client_method());
    SSL* const ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    std::string answer;
    char const request[] = "GET /v1/domain HTTP/1.1\r\nHost: proxy\r\nConnection: close\r\n\r\n";
    if (SSL_connect(ssl) == 1 && SSL_write(ssl, request, sizeof request - 1) > 0) {
        char buffer[4096];
        int n = 0;
        while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0)
            answer.append(buffer, static_cast<std::size_t>(n));
    }
    SSL_free(ssl);
    SSL_CTX_free(context);
    close(fd);
    std::size_t const body = answer.find("\r\n\r\n");
    return answer.substr(0, answer.find('\r')) + " " +
           (body == std::string::npos ? "" : answer.substr(body + 4));
}

// "HTTP-STATUS BODY" of one request from 127.0.0.1; a chunked body when `chunked`.
std::string Ask(char const* method, std::string const& body = "",
                std::string const& type = "application/json", bool chunked = false) {
    httplib::SSLClient client("127.0.0.1", kPort);
    client.enable_server_certificate_verification(false);
    client.set_read_timeout(30);
    auto whole = [&body](std::size_t offset, httplib::DataSink& sink) {
        return offset == 0 ? sink.write(body.data(), body.size()) : (sink.done(), true);
    };
    httplib::Result result = std::string(method) == "GET" ? client.Get("/v1/domain")
                             : chunked ? client.Post("/v1/machine-accounts", whole, type.c_str())
                                       : client.Post("/v1/machine-accounts", body, type.c_str());
    if (!result) return "no answer: " + httplib::to_string(result.error());
    return std::to_string(result->status) + " " + result->body;
}

class ProxyServiceTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        // A service that closes a connection ends a write to it, not the test.
        signal(SIGPIPE, SIG_IGN);
        // The service's state, and no log line to the machine's log (standard error only).
        sandbox::MountTmpfs("/var/lib", 1 << 20);
        struct stat log = {};
        if (stat("/dev/log", &log) == 0) mount("/dev/null", "/dev/log", nullptr, MS_BIND, nullptr);
        sandbox::WriteFile(kHelper, HelperScript(), 0755);
    }
    void TearDown() override {
        umount2("/dev/log", MNT_DETACH);
        umount2("/var/lib", MNT_DETACH);
        SandboxTest::TearDown();
    }
    std::string Runs() {
        std::string const path = sandbox::ScratchDirectory() + "/helper-runs";
        std::string const runs = sandbox::PathExists(path) ? sandbox::ReadFile(path) : "";
        if (!runs.empty()) unlink(path.c_str());
        return runs;
    }
};

std::string const kDomain =
    R"(200 {"dns_name":"corp.example","netbios_name":"CORP","sid":"S-1-5-21-1-2-3"})";
std::string const kHv01Created = R"(201 {"account":"HV01$","provisioning":"UHJv"})";

// Two workers: peers that trickle, wait or speak plain HTTP neither hold them past their deadline
// nor keep others from it; each connection's log line names its peer.
TEST_F(ProxyServiceTest, EveryConnectionIsBoundedAndLogged) {
    Service service("workers = 2\nallow = 127.0.0.3\n");
    std::string const host = R"({"host_name": "hv01.corp.example")";
    struct {
        char const* what;
        std::string body, type;
        bool chunked;
        std::string expected, runs;
    } const requests[] = {
        {"created", host + R"(, "container": "OU=Lab"})", "application/json; charset=utf-8", false,
         kHv01Created, "provision\n"},
        {"chunked", host + "}", "application/json", true, kHv01Created, "provision\n"},
        // The service answers before the client has sent it all: the client may see no answer.
        {"a chunked body over 64 KiB",
         host + ", \"pad\": \"" + std::string(600 * 1024, 'x') + "\"}", "application/json", true,
         "", ""},
        {"not JSON", host + "}", "text/plain", false,
         R"(415 {"message":"the body must be application/json","status":87})", ""},
    };
    for (auto const& row : requests) {
        std::string const answer = Ask("POST", row.body, row.type, row.chunked);
        if (!row.expected.empty()) {
            EXPECT_EQ(row.expected, answer) << row.what;
        }
        EXPECT_EQ(row.runs, Runs()) << row.what;
    }
    EXPECT_NE(std::string::npos, service.Log("larger than")
                                     .find(": 400 status 87 container - (the request body is "
                                           "larger than 64 KiB)"));
    EXPECT_NE(std::string::npos, service.Log("container OU=Lab")
                                     .find("127.0.0.1 POST /v1/machine-accounts host "
                                           "hv01.corp.example: 201 status 0 container OU=Lab"));

    // A peer that may not enrol is refused apart: the worker answers meanwhile, and its
    // connection is cut at its own deadline.
    int const other = Connect("127.0.0.2");
    send(other, "\x16\x03\x01\x02\x00", 5, MSG_NOSIGNAL);
    EXPECT_EQ(kDomain, Ask("GET"));
    EXPECT_FALSE(Closed(other, 0));
    EXPECT_TRUE(Closed(other, 30000));
    close(other);
    // Cut at its deadline, or ended by the handshake's own read bound, as fast.
    EXPECT_NE(std::string::npos, service.Log("127.0.0.2: ").find("127.0.0.2: "));

    // Its refusal says why.
    EXPECT_EQ(
        R"(HTTP/1.1 403 Forbidden {"message":"the address 127.0.0.2 may not enrol hosts","status":5})",
        AskFrom("127.0.0.2"));

    // A record announced and sent a byte a second is cut at the connection's deadline. One
    // address holds one of the two workers at most: its other connections wait (for longer
    // than that deadline: a wait has a bound of its own), and another address is served by the
    // other worker meanwhile.
    int const slow = Connect("127.0.0.1"), second = Connect("127.0.0.1");
    std::future<std::string> trickling = std::async(std::launch::async, Trickle, slow);
    std::future<std::string> also = std::async(std::launch::async, Trickle, second);
    std::future<std::string> queued = std::async(std::launch::async, [] { return Ask("GET"); });
    EXPECT_EQ("HTTP/1.1 200 OK " + kDomain.substr(4), AskFrom("127.0.0.3"));
    EXPECT_NE(std::future_status::ready, trickling.wait_for(std::chrono::seconds(0)));
    shutdown(second, SHUT_RDWR);
    EXPECT_EQ("cut", trickling.get());
    EXPECT_EQ("cut", also.get());
    EXPECT_EQ(kDomain, queued.get());
    close(slow);
    close(second);
    EXPECT_NE(std::string::npos,
              service.Log("127.0.0.1: cut at its deadline").find("127.0.0.1: cut at its deadline"));

    // Plain HTTP on the TLS port.
    int const plain = Connect("127.0.0.1");
    send(plain, "GET /v1/domain HTTP/1.0\r\n\r\n", 27, MSG_NOSIGNAL);
    EXPECT_TRUE(Closed(plain, 30000));
    close(plain);
    EXPECT_NE(std::string::npos, service.Log("127.0.0.1: no TLS handshake: http request")
                                     .find("127.0.0.1: no TLS handshake: http request"));

    // One address: one connection served and 64 waiting; the next is closed at once.
    std::vector<int> held;
    for (int i = 0; i < 66; ++i) held.push_back(Connect("127.0.0.1"));
    EXPECT_TRUE(Closed(held.back(), 8000)) << service.Log();
    EXPECT_NE(std::string::npos, service.Log("closed at once").find("127.0.0.1: closed at once"));
    for (int fd : held) close(fd);

    // SIGTERM while a peer trickles its handshake: the service ends all the same.
    int const stalling = Connect("127.0.0.1");
    std::future<std::string> trickled = std::async(std::launch::async, Trickle, stalling);
    EXPECT_EQ(0, service.Stop()) << service.Log();
    EXPECT_EQ("cut", trickled.get());
    close(stalling);
}

// A provisioning that outlives its answer (the helper stalls) is answered at the configured
// dc-timeout, and the service stops once its helper has ended. (Its clean-up, and the bound on
// such provisionings: enrolment_test.cpp.)
TEST_F(ProxyServiceTest, ALateProvisioningIsAnsweredAtDcTimeout) {
    Service service("dc-timeout = 1\n");
    EXPECT_EQ(R"(504 {"message":"the domain controller did not answer within 1 s","status":10060})",
              Ask("POST", R"({"host_name": "stall0.corp.example"})"));
    // The stalled helper notes its PID once its shell runs, perhaps after the answer.
    std::string const noted = sandbox::ScratchDirectory() + "/helper-pids";
    std::string pid;
    for (int i = 0; i < 300 && pid.find('\n') == std::string::npos; ++i) {
        if (i != 0) poll(nullptr, 0, 100);
        pid = sandbox::PathExists(noted) ? sandbox::ReadFile(noted) : "";
    }
    ASSERT_NE(std::string::npos, pid.find('\n'));
    kill(std::stoi(pid), SIGKILL);
    EXPECT_EQ(0, service.Stop());
}

}  // namespace
#endif
