// The proxy-client plug-in `qapclient` against an HTTPS service of the test's own on the
// loopback interface of the sandbox's network namespace, through its table and through the
// library.
#include <arpa/inet.h>
#include <authentication/active_directory_store.h>
#include <authentication/exceptions.h>
#include <authentication/qap_proxy.h>
#include <authentication/qap_thumbprint_store.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <tslauth/qap_proxy_client.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.h"
#include "test_certificate.h"
#include "test_plugins.h"
#include "what_thrown.h"

using namespace ostrel::authentication;

namespace {

std::uint32_t const kUntrusted = 0x80090325u;
std::string const kLibraryPlugin = "/usr/libexec/tslauth/lib/libqapclient.so";
std::string const kDomain =
    R"({"netbios_name": "CORP", "dns_name": "corp.example", "sid": "S-1-5-21-1-2-3"})";
std::string const kAccount = R"({"account": "HV01$", "provisioning": "UHJvdmlzaW9u"})";

std::string Replaced(std::string text, std::string const& from, std::string const& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

// An HTTPS service on 127.0.0.1 that answers both requests with one status and body, and
// records each of them and counts every request it read, on any path.
class Service {
public:
    Service(test_certificate::Certificate const& certificate, int fixedPort = 0) {
        std::string const directory = sandbox::ScratchDirectory();
        sandbox::WriteFile(directory + "/service.pem", certificate.pem);
        sandbox::WriteFile(directory + "/service.key", certificate.keyPem, 0600);
        server = std::make_unique<httplib::SSLServer>((directory + "/service.pem").c_str(),
                                                      (directory + "/service.key").c_str());
        auto answer = [this](httplib::Request const& request, httplib::Response& response) {
            std::lock_guard<std::mutex> const lock(mutex);
            requests.push_back(request.method + " " + request.path + " " + request.body);
            response.status = status;
            response.set_content(body, "application/json");
        };
        server->Get("/v1/domain", answer);
        server->Post("/v1/machine-accounts", answer);
        server->set_pre_routing_handler([this](httplib::Request const&, httplib::Response&) {
            ++read;
            return httplib::Server::HandlerResponse::Unhandled;
        });
        port = fixedPort == 0 ? server->bind_to_any_port("127.0.0.1")
                              : (server->bind_to_port("127.0.0.1", fixedPort) ? fixedPort : -1);
        EXPECT_GT(port, 0);
        thread = std::thread([this] { server->listen_after_bind(); });
        // stop() only ends a loop that has started.
        for (int i = 0; i < 2000 && !server->is_running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(server->is_running());
    }
    ~Service() {
        server->stop();
        thread.join();
    }

    void Answer(int httpStatus, std::string const& text) {
        std::lock_guard<std::mutex> const lock(mutex);
        status = httpStatus;
        body = text;
    }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> const lock(mutex);
        return requests;
    }
    // Requests read on any path.
    int Read() const { return read; }
    std::string Server() const { return "127.0.0.1:" + std::to_string(port); }

private:
    std::unique_ptr<httplib::SSLServer> server;
    std::atomic<int> read{0};
    std::thread thread;
    int port = -1;
    std::mutex mutex;
    int status = 200;
    std::string body = kDomain;
    std::vector<std::string> requests;
};

// A TCP socket on 127.0.0.1 and a free port: bound only (connections are refused), or also
// listening (the kernel accepts connections that nobody reads).
class Socket {
public:
    explicit Socket(bool listening) : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), length));
        EXPECT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length));
        if (listening) {
            EXPECT_EQ(0, listen(fd, 4));
        }
        port = ntohs(address.sin_port);
    }
    ~Socket() { close(fd); }
    std::string Server() const { return "127.0.0.1:" + std::to_string(port); }
    int const fd;

private:
    int port = 0;
};

class QAPClientTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        sandbox::WriteFile(kLibraryPlugin, sandbox::ReadFile(QAP_CLIENT_PLUGIN), 0755);
        handle = dlopen(kLibraryPlugin.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, handle) << dlerror();
        table = static_cast<QAPProxyClientTable const*>(dlsym(handle, "QAPProxyClientOperations"));
        ASSERT_NE(nullptr, table);
        certificate = test_certificate::Make("127.0.0.1");
    }
    // Each test ends with the plug-in unloaded: nothing it made keeps it in memory.
    void TearDown() override {
        if (handle != nullptr) dlclose(handle);
        EXPECT_FALSE(test_plugins::IsLoaded(kLibraryPlugin));
        SandboxTest::TearDown();
    }

    // "status netbios dns sid", each string released through word 3.
    std::string DomainInfo(std::string const& server, int verify, char const* thumbprint) {
        char* names[3] = {nullptr, nullptr, nullptr};
        std::uint32_t const status = table->GetDomainInfo(server.c_str(), verify, thumbprint,
                                                          &names[0], &names[1], &names[2]);
        return Collect(status, names, 3);
    }
    // "status account provisioning".
    std::string Create(std::string const& server, char const* container, int verify,
                       char const* thumbprint) {
        char* data[2] = {nullptr, nullptr};
        std::uint32_t const status = table->CreateMachineAccount(
            server.c_str(), "hv01.corp.example", container, verify, thumbprint, &data[0], &data[1]);
        return Collect(status, data, 2);
    }
    std::string Collect(std::uint32_t status, char** strings, int count) {
        std::string answer = std::to_string(status);
        for (int i = 0; i < count; ++i) {
            answer += std::string(" ") + (strings[i] != nullptr ? strings[i] : "(null)");
            if (strings[i] != nullptr) table->Release(strings[i]);
        }
        return answer;
    }
    // "priority text" of the lines logged so far.
    static std::vector<std::string> Log() {
        std::vector<std::string> lines;
        for (sandbox::LogLine const& line : sandbox::CapturedLog()) {
            lines.push_back(std::to_string(line.priority) + " " + line.text);
        }
        return lines;
    }

    void* handle = nullptr;
    QAPProxyClientTable const* table = nullptr;
    test_certificate::Certificate certificate;
};

enum class Pin { kRight, kRightLowerCase, kOther, kEmpty, kNull };
enum class Call { kDomain, kCreate };

struct Case {
    char const* fault;  // what a plug-in that fails the row does wrong
    Call call;
    char const* container;
    int verify;
    Pin pin;
    int httpStatus;  // the service's answer
    std::string body;
    std::string expected;  // "status strings..."
    std::vector<std::string> requests;
    std::string log;  // the one warning logged, "{where}" the request and its server; or none
};

TEST_F(QAPClientTest, AnswersAndRefusals) {
    std::string const untrusted = std::to_string(kUntrusted);
    std::string const domainAt = "GET /v1/domain {where}: ";
    std::string const createAt = "POST /v1/machine-accounts {where}: ";
    std::string const wrongPin =
        "the server's certificate has the thumbprint {right}, not the "
        "pinned {other}";
    std::string const tooLong = R"({"netbios_name": ")" + std::string(70000, 'C') + R"("})";
    std::vector<Case> const cases = {
        {"the pinned certificate of the server refused, or the names mixed up",
         Call::kDomain,
         nullptr,
         1,
         Pin::kRight,
         200,
         kDomain,
         "0 CORP corp.example S-1-5-21-1-2-3",
         {"GET /v1/domain "},
         ""},
        {"the thumbprint compared case-sensitively, or the request not the protocol's",
         Call::kCreate,
         "OU=Hypervisors",
         1,
         Pin::kRightLowerCase,
         201,
         kAccount,
         "0 HV01$ UHJvdmlzaW9u",
         {R"(POST /v1/machine-accounts {"container":"OU=Hypervisors","host_name":"hv01.corp.example"})"},
         ""},
        {"no TLS or a pin checked without verification; no container sent as a value",
         Call::kCreate,
         nullptr,
         0,
         Pin::kOther,
         201,
         kAccount,
         "0 HV01$ UHJvdmlzaW9u",
         {R"(POST /v1/machine-accounts {"host_name":"hv01.corp.example"})"},
         ""},
        {"a server with another certificate talked to",
         Call::kDomain,
         nullptr,
         1,
         Pin::kOther,
         200,
         kDomain,
         untrusted + " (null) (null) (null)",
         {},
         "GetDomainInfo: " + domainAt + wrongPin},
        {"nothing pinned taken as nothing to check",
         Call::kCreate,
         nullptr,
         1,
         Pin::kEmpty,
         201,
         kAccount,
         untrusted + " (null) (null)",
         {},
         "CreateMachineAccount: no certificate thumbprint pinned for 127.0.0.1"},
        {"a NULL thumbprint read",
         Call::kDomain,
         nullptr,
         1,
         Pin::kNull,
         200,
         kDomain,
         untrusted + " (null) (null) (null)",
         {},
         "GetDomainInfo: no certificate thumbprint pinned for 127.0.0.1"},
        {"the service's status not passed on",
         Call::kCreate,
         nullptr,
         0,
         Pin::kNull,
         409,
         R"({"status": 1316, "message": "HV01$ exists"})",
         "1316 (null) (null)",
         {R"(POST /v1/machine-accounts {"host_name":"hv01.corp.example"})"},
         "CreateMachineAccount: " + createAt + "refused with HTTP 409, status 1316: HV01$ exists"},
        {"an answer that is not JSON taken for names",
         Call::kDomain,
         nullptr,
         0,
         Pin::kNull,
         200,
         "CORP corp.example",
         "1359 (null) (null) (null)",
         {"GET /v1/domain "},
         "GetDomainInfo: " + domainAt + "malformed answer: HTTP 200 without a JSON object"},
        {"a member of another type taken",
         Call::kCreate,
         nullptr,
         0,
         Pin::kNull,
         201,
         R"({"account": "HV01$", "provisioning": 5})",
         "1359 (null) (null)",
         {R"(POST /v1/machine-accounts {"host_name":"hv01.corp.example"})"},
         "CreateMachineAccount: " + createAt + "malformed answer: no string \"provisioning\""},
        {"a refusal without a status taken as success",
         Call::kDomain,
         nullptr,
         0,
         Pin::kNull,
         502,
         R"({"message": "no status"})",
         "1359 (null) (null) (null)",
         {"GET /v1/domain "},
         "GetDomainInfo: " + domainAt + "malformed answer: HTTP 502 without a status"},
        {"an answer of any length read",
         Call::kDomain,
         nullptr,
         0,
         Pin::kNull,
         200,
         tooLong,
         "1359 (null) (null) (null)",
         {"GET /v1/domain "},
         "GetDomainInfo: " + domainAt + "answer longer than 65536 bytes"},
    };

    std::string const right = certificate.thumbprint;
    std::string lower = right;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string const other = test_certificate::Make("127.0.0.1").thumbprint;
    for (Case const& row : cases) {
        SCOPED_TRACE(row.fault);
        Service service(certificate);
        service.Answer(row.httpStatus, row.body);
        sandbox::ClearCapturedLog();
        char const* const pins[] = {right.c_str(), lower.c_str(), other.c_str(), "", nullptr};
        char const* const pin = pins[static_cast<int>(row.pin)];
        std::string const answer = row.call == Call::kDomain
                                       ? DomainInfo(service.Server(), row.verify, pin)
                                       : Create(service.Server(), row.container, row.verify, pin);
        EXPECT_EQ(row.expected, answer);
        EXPECT_EQ(row.requests, service.Requests());
        EXPECT_EQ(static_cast<int>(row.requests.size()), service.Read());
        std::vector<std::string> log;
        if (!row.log.empty()) {
            std::string line = Replaced(row.log, "{where}", "at " + service.Server());
            line = Replaced(Replaced(line, "{right}", right), "{other}", other);
            log.push_back("4 qapclient: " + line);
        }
        EXPECT_EQ(log, Log());
    }
}

// No whole answer: each peer ends the call with its own status, in its bound.
TEST_F(QAPClientTest, PeersThatDoNotAnswer) {
    Socket const refusing(false);
    EXPECT_EQ("1225 (null) (null) (null)", DomainInfo(refusing.Server(), 0, nullptr));

    // Accepts the connection and closes it in the handshake.
    Socket const closing(true);
    std::thread closer([&] {
        pollfd ready = {closing.fd, POLLIN, 0};
        if (poll(&ready, 1, 20000) == 1) close(accept(closing.fd, nullptr, nullptr));
    });
    EXPECT_EQ("1229 (null) (null)", Create(closing.Server(), nullptr, 0, nullptr));
    closer.join();

    // Connected by the kernel, never read: the handshake's bound (10 s) ends the wait.
    Socket const silent(true);
    auto const start = std::chrono::steady_clock::now();
    EXPECT_EQ("10060 (null) (null) (null)", DomainInfo(silent.Server(), 1, "00:11"));
    double const seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 9.5);
    EXPECT_LT(seconds, 15.0);

    // Not an address: no name is looked up.
    EXPECT_EQ("87 (null) (null) (null)", DomainInfo("localhost", 0, nullptr));
}

// Each call has its own connection and pin: concurrent calls with different pins each get
// their own verdict.
TEST_F(QAPClientTest, ConcurrentCallsKeepTheirOwnPins) {
    Service service(certificate);
    std::string const other = test_certificate::Make("127.0.0.1").thumbprint;
    std::vector<std::string> answers(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        threads.emplace_back([&, i] {
            std::string const& pin = i % 2 == 0 ? certificate.thumbprint : other;
            for (int round = 0; round < 3; ++round) {
                answers[i] += DomainInfo(service.Server(), 1, pin.c_str()) + ";";
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::string const good = "0 CORP corp.example S-1-5-21-1-2-3;";
    std::string const bad = std::to_string(kUntrusted) + " (null) (null) (null);";
    for (std::size_t i = 0; i < answers.size(); ++i) {
        EXPECT_EQ(i % 2 == 0 ? good + good + good : bad + bad + bad, answers[i]) << i;
    }
    EXPECT_EQ(12u, service.Requests().size());
}

// The library with `provider = qapclient`: the thumbprint as import-certificate stores it,
// the default port, and its statuses turned into the library's exceptions.
TEST_F(QAPClientTest, LibraryTalksToTheServiceThroughThePlugin) {
    dlclose(handle);
    handle = nullptr;
    test_plugins::InstallPlugin(test_plugins::Plugin::kScriptedProvider, "scripted");
    test_plugins::WriteProviderConfiguration("scripted");
    test_plugins::WriteQAPProviderConfiguration("qapclient");
    sandbox::WriteFile("/etc/ostrel/tslauth/qapservers.conf", "");
    std::string const pem = sandbox::ScratchDirectory() + "/proxy.pem";
    sandbox::WriteFile(pem, certificate.pem);

    Service service(certificate, 9443);
    {
        ActiveDirectoryStore store(60);
        EXPECT_EQ("corp.example", store.GetDomainForQAPService("127.0.0.1"));
        store.ImportCertificateForQAP(pem, "127.0.0.1");
    }
    std::string const thumbprint =
        QAPThumbprintStore("/etc/ostrel/tslauth/qapservers.conf").LookupThumbprint("127.0.0.1");
    {
        QAPProxy const proxy("qapclient", "127.0.0.1", true, thumbprint);
        service.Answer(201, kAccount);
        ComputerPrincipalInfo const account =
            proxy.CreateMachineAccount("hv01.corp.example", "OU=Hypervisors");
        EXPECT_EQ("HV01$", account.accountData1);
        EXPECT_EQ("UHJvdmlzaW9u", account.accountData2);
    }
    {
        QAPProxy const proxy("qapclient", "127.0.0.1", true,
                             test_certificate::Make("127.0.0.1").thumbprint);
        EXPECT_EQ(Named(typeid(InvalidQAPCertificateException),
                        "The QAP server's certificate cannot be verified."),
                  WhatThrown([&] { proxy.GetDNSDomainName(); }));
    }
    EXPECT_EQ(2u, service.Requests().size());
    EXPECT_FALSE(test_plugins::IsLoaded(kLibraryPlugin));
}

}  // namespace
