// The proxy-client plug-in `qapclient` through its table, against an HTTPS service of the
// test's own on the sandbox's loopback (the directory suite joins through the real service).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <tslauth/qap_proxy_client.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sandbox.h"
#include "test_certificate.h"

namespace {

std::string const kUntrusted = std::to_string(0x80090325u);
std::string const kLibraryPlugin = "/usr/libexec/tslauth/lib/libqapclient.so";
std::string const kDomain =
    R"({"netbios_name": "CORP", "dns_name": "corp.example", "sid": "S-1-5-21-1-2-3"})";
std::string const kAccount = R"({"account": "HV01$", "provisioning": "UHJvdmlzaW9u"})";

// An HTTPS service on 127.0.0.1 that answers both requests with one status and body, and
// records each of them.
using Lines = std::vector<std::string>;
class Service {
public:
    explicit Service(test_certificate::Certificate const& certificate) {
        std::string const pem = sandbox::ScratchDirectory() + "/service.pem";
        sandbox::WriteFile(pem, certificate.pem);
        sandbox::WriteFile(pem + ".key", certificate.keyPem, 0600);
        server = std::make_unique<httplib::SSLServer>(pem.c_str(), (pem + ".key").c_str());
        auto answer = [this](httplib::Request const& request, httplib::Response& response) {
            std::lock_guard<std::mutex> const lock(mutex);
            requests.push_back(request.method + " " + request.path + " " + request.body);
            response.status = status;
            response.set_content(body, "application/json");
        };
        server->Get("/v1/domain", answer);
        server->Post("/v1/machine-accounts", answer);
        port = server->bind_to_any_port("127.0.0.1");
        EXPECT_GT(port, 0);
        thread = std::thread([this] { server->listen_after_bind(); });
        // stop() only ends a loop that has started.
        for (int i = 0; i < 2000 && !server->is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~Service() {
        server->stop();
        thread.join();
    }
    void Answer(int httpStatus, std::string const& text) {
        std::lock_guard<std::mutex> const lock(mutex);
        status = httpStatus, body = text;
    }
    Lines Take() {  // the requests recorded since the last call
        std::lock_guard<std::mutex> const lock(mutex);
        return std::exchange(requests, Lines());
    }
    std::string Server() const { return "127.0.0.1:" + std::to_string(port); }

private:
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    int port = -1, status = 200;
    std::mutex mutex;
    std::string body = kDomain;
    Lines requests;
};

// A TCP socket listening on 127.0.0.1: the kernel accepts connections that nobody reads.
struct Socket {
    Socket() : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), length));
        EXPECT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length));
        EXPECT_EQ(0, listen(fd, 4));
        server = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    ~Socket() { close(fd); }
    int const fd;
    std::string server;
};

// A TLS server of the test's own on a Socket: on its first connection it reads the request,
// then calls `answer` until it returns false, and closes.
class TlsPeer {
public:
    using Answer = std::function<bool(SSL*)>;
    TlsPeer(test_certificate::Certificate const& certificate, Answer answer)
        : thread([this, &certificate, answer] { Serve(certificate, answer); }) {}
    ~TlsPeer() { thread.join(); }
    Socket const peer;
    std::string server = peer.server;

private:
    void Serve(test_certificate::Certificate const& certificate, Answer const& answer) {
        pollfd ready = {peer.fd, POLLIN, 0};
        if (poll(&ready, 1, 20000) != 1) return;
        int const fd = accept(peer.fd, nullptr, nullptr);
        // A write to a client that stopped reading fails instead of waiting for good.
        timeval const bound = {5, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        std::string const pem = sandbox::ScratchDirectory() + "/peer.pem";
        sandbox::WriteFile(pem, certificate.pem + certificate.keyPem, 0600);
        SSL_CTX* const context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(context, pem.c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(context, pem.c_str(), SSL_FILETYPE_PEM);
        SSL* const ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        std::string request;
        char buffer[4096];
        int n = 0;
        if (SSL_accept(ssl) == 1) {
            while (request.find("\r\n\r\n") == std::string::npos &&
                   (n = SSL_read(ssl, buffer, sizeof buffer)) > 0)
                request.append(buffer, static_cast<std::size_t>(n));
            while (answer(ssl)) {
            }
        }
        SSL_free(ssl);
        close(fd);
        SSL_CTX_free(context);
    }
    std::thread thread;
};

class QAPClientTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        signal(SIGPIPE, SIG_IGN);  // the test's peers write to connections the client closed
        sandbox::WriteFile(kLibraryPlugin, sandbox::ReadFile(QAP_CLIENT_PLUGIN), 0755);
        handle = dlopen(kLibraryPlugin.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, handle) << dlerror();
        table = static_cast<QAPProxyClientTable const*>(dlsym(handle, "QAPProxyClientOperations"));
        ASSERT_NE(nullptr, table);
    }
    ~QAPClientTest() override {
        if (handle != nullptr) dlclose(handle);
    }

    // "status netbios dns sid" or, with a container ("" for none), "status account
    // provisioning" of a new account; each string released through the table.
    std::string Call(std::string const& server, int verify, char const* pin,
                     char const* container = nullptr) {
        char* out[3] = {nullptr, nullptr, nullptr};
        std::string answer = std::to_string(
            container
                ? table->CreateMachineAccount(server.c_str(), "hv01.corp.example",
                                              *container ? container : nullptr, verify, pin,
                                              &out[0], &out[1])
                : table->GetDomainInfo(server.c_str(), verify, pin, &out[0], &out[1], &out[2]));
        for (int i = 0; i < (container ? 2 : 3); ++i) {
            answer += std::string(" ") + (out[i] != nullptr ? out[i] : "(null)");
            if (out[i] != nullptr) table->Release(out[i]);
        }
        return answer;
    }

    void* handle = nullptr;
    QAPProxyClientTable const* table = nullptr;
    test_certificate::Certificate const certificate = test_certificate::Make("127.0.0.1");
};

// One service answering each row in turn ("answer|the request it read"), then peers that give
// no whole answer: each ends the call with its own status, in its bound.
TEST_F(QAPClientTest, AnswersAndRefusals) {
    Service service(certificate);
    std::string const get = "|GET /v1/domain ", post = "|POST /v1/machine-accounts {";
    std::string const host = R"("host_name":"hv01.corp.example"})";
    std::string const other = test_certificate::Make("127.0.0.1").thumbprint;
    std::string lower = certificate.thumbprint;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string const good = "0 CORP corp.example S-1-5-21-1-2-3", created = "0 HV01$ UHJvdmlzaW9u";
    std::string const refused = kUntrusted + " (null) (null) (null)";
    std::string const malformed = "1359 (null) (null) (null)" + get;
    struct {
        char const* container;  // creates an account when not null ("": none given)
        int verify;
        char const* pin;
        int httpStatus;
        std::string body, expected;
    } const cases[] = {
        {nullptr, 1, certificate.thumbprint.c_str(), 200, kDomain, good + get},
        {"OU=Hypervisors", 1, lower.c_str(), 201, kAccount,
         created + post + R"("container":"OU=Hypervisors",)" + host},
        {"", 0, other.c_str(), 201, kAccount, created + post + host},  // no verification, no pin
        {nullptr, 1, other.c_str(), 200, kDomain, refused},
        {nullptr, 1, "", 200, kDomain, refused},
        {nullptr, 1, nullptr, 200, kDomain, refused},
        {"", 0, nullptr, 409, R"({"status": 1316, "message": "exists"})",
         "1316 (null) (null)" + post + host},
        {nullptr, 0, nullptr, 200, "CORP corp.example", malformed},
        {nullptr, 0, nullptr, 502, R"({"message": "no status"})", malformed},
        {nullptr, 0, nullptr, 200, R"({"netbios_name": ")" + std::string(70000, 'C') + R"("})",
         malformed},
    };
    for (auto const& row : cases) {
        service.Answer(row.httpStatus, row.body);
        std::string seen = Call(service.Server(), row.verify, row.pin, row.container);
        for (std::string const& request : service.Take()) seen += "|" + request;
        EXPECT_EQ(row.expected, seen);
    }

    EXPECT_EQ("1225 (null) (null) (null)", Call("127.0.0.1:1", 0, nullptr));  // nobody listens
    // Accepts the first connection and closes it in the handshake; then the kernel accepts
    // connections that nobody reads, until the handshake's bound (10 s) ends the wait.
    Socket const peer;
    std::thread closer([&] {
        pollfd ready = {peer.fd, POLLIN, 0};
        if (poll(&ready, 1, 20000) == 1) close(accept(peer.fd, nullptr, nullptr));
    });
    EXPECT_EQ("1229 (null) (null)", Call(peer.server, 0, nullptr, ""));
    closer.join();
    auto const start = std::chrono::steady_clock::now();
    EXPECT_EQ("10060 (null) (null) (null)", Call(peer.server, 1, "00:11"));
    EXPECT_LE(std::chrono::seconds(9), std::chrono::steady_clock::now() - start);

    // Header lines without end: the call fails before the answer grows past its bound (the
    // peer writes 64 MiB at most; the client stops reading long before).
    std::size_t written = 0;
    std::string lines = "HTTP/1.1 200 OK\r\n";
    while (lines.size() < 16384) lines += "X-Endless: " + std::to_string(lines.size()) + "\r\n";
    {
        TlsPeer endless(certificate, [&](SSL* ssl) {
            std::size_t const from = written == 0 ? 0 : 17;  // the status line once
            if (written > (64u << 20) ||
                SSL_write(ssl, lines.data() + from, static_cast<int>(lines.size() - from)) <= 0)
                return false;
            written += lines.size() - from;
            return true;
        });
        EXPECT_EQ("1359 (null) (null) (null)", Call(endless.server, 0, nullptr));
    }
    EXPECT_GT(std::size_t(32) << 20, written);
    // A header byte every two seconds, each wait well within the read bound: the exchange's
    // deadline ends the call (the peer would drip for 200 s).
    {
        int dripped = 0;
        TlsPeer drip(certificate, [&](SSL* ssl) {
            char const* const text = dripped == 0 ? "HTTP/1.1 200 OK\r\n" : "X";
            pollfd closed = {SSL_get_fd(ssl), POLLIN, 0};
            return ++dripped < 100 && SSL_write(ssl, text, static_cast<int>(strlen(text))) > 0 &&
                   poll(&closed, 1, 2000) == 0;
        });
        EXPECT_EQ("10060 (null) (null) (null)", Call(drip.server, 0, nullptr));
        EXPECT_GT(100, dripped);
    }
    // Not an address: no name is looked up.
    EXPECT_EQ("87 (null) (null) (null)", Call("localhost", 0, nullptr));
}

}  // namespace
