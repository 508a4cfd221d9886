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

std::string const kUntrusted = std::to_string(0x80090325u);
std::string const kLibraryPlugin = "/usr/libexec/tslauth/lib/libqapclient.so";
std::string const kDomain =
    R"({"netbios_name": "CORP", "dns_name": "corp.example", "sid": "S-1-5-21-1-2-3"})";
std::string const kAccount = R"({"account": "HV01$", "provisioning": "UHJvdmlzaW9u"})";

// An HTTPS service on 127.0.0.1 that answers both requests with one status and body, records
// each of them and counts every request it read, on any path.
using Lines = std::vector<std::string>;
class Service {
public:
    Service(test_certificate::Certificate const& certificate, int fixedPort = 0) {
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
        server->set_pre_routing_handler([this](httplib::Request const&, httplib::Response&) {
            ++read;
            return httplib::Server::HandlerResponse::Unhandled;
        });
        port = fixedPort == 0 ? server->bind_to_any_port("127.0.0.1")
                              : (server->bind_to_port("127.0.0.1", fixedPort) ? fixedPort : -1);
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
    // The requests recorded since the last call, and how many others were read on other paths.
    Lines Take() {
        std::lock_guard<std::mutex> const lock(mutex);
        Lines taken;
        taken.swap(requests);
        if (read != static_cast<int>(taken.size()))
            taken.push_back(std::to_string(read - taken.size()) + " elsewhere");
        read = 0;
        return taken;
    }
    std::string Server() const { return "127.0.0.1:" + std::to_string(port); }

private:
    std::atomic<int> read{0};
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    int port = -1, status = 200;
    std::mutex mutex;
    std::string body = kDomain;
    Lines requests;
};

// A TCP socket on 127.0.0.1 and a free port: bound only (connections are refused), or also
// listening (the kernel accepts connections that nobody reads).
struct Socket {
    explicit Socket(bool listening) : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), length));
        EXPECT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length));
        EXPECT_TRUE(!listening || listen(fd, 4) == 0);
        server = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    ~Socket() { close(fd); }
    int const fd;
    std::string server;
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

    // "status netbios dns sid" or, with a host name, "status account provisioning"; each
    // string released through the table.
    std::string Call(std::string const& server, int verify, char const* pin,
                     char const* container = nullptr, bool create = false) {
        char* out[3] = {nullptr, nullptr, nullptr};
        std::uint32_t const status =
            create ? table->CreateMachineAccount(server.c_str(), "hv01.corp.example", container,
                                                 verify, pin, &out[0], &out[1])
                   : table->GetDomainInfo(server.c_str(), verify, pin, &out[0], &out[1], &out[2]);
        std::string answer = std::to_string(status);
        for (int i = 0; i < (create ? 2 : 3); ++i) {
            answer += std::string(" ") + (out[i] != nullptr ? out[i] : "(null)");
            if (out[i] != nullptr) table->Release(out[i]);
        }
        return answer;
    }

    void* handle = nullptr;
    QAPProxyClientTable const* table = nullptr;
    test_certificate::Certificate certificate;
};

// One service answering each row in turn, then concurrent calls.
TEST_F(QAPClientTest, AnswersAndRefusals) {
    Service service(certificate);
    std::string const get = "GET /v1/domain ", post = "POST /v1/machine-accounts ";
    std::string const getAt = get + "at " + service.Server() + ": ";
    std::string const postAt = post + "at " + service.Server() + ": ";
    std::string const host = R"("host_name":"hv01.corp.example"})";
    std::string const right = certificate.thumbprint;
    std::string const other = test_certificate::Make("127.0.0.1").thumbprint;
    std::string lower = right;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string const unpinned = "no certificate thumbprint pinned for 127.0.0.1";
    struct Case {
        char const* fault;      // what a plug-in that fails the row does wrong
        char const* container;  // creates an account when not null
        int verify;
        char const* pin;
        int httpStatus;
        std::string body, expected, request;  // request "" when none was made
        std::string log;                      // the one warning, if any
    } const cases[] = {
        {"the pinned certificate refused, or the names mixed up", nullptr, 1, right.c_str(), 200,
         kDomain, "0 CORP corp.example S-1-5-21-1-2-3", get, ""},
        {"the thumbprint compared case-sensitively, or the request not the protocol's",
         "OU=Hypervisors", 1, lower.c_str(), 201, kAccount, "0 HV01$ UHJvdmlzaW9u",
         post + R"({"container":"OU=Hypervisors",)" + host, ""},
        {"no TLS or a pin checked without verification; no container sent as a value", "", 0,
         other.c_str(), 201, kAccount, "0 HV01$ UHJvdmlzaW9u", post + "{" + host, ""},
        {"a server with another certificate talked to", nullptr, 1, other.c_str(), 200, kDomain,
         kUntrusted + " (null) (null) (null)", "",
         getAt + "the server's certificate has the thumbprint " + right + ", not the pinned " +
             other},
        {"nothing pinned taken as nothing to check", "", 1, "", 201, kAccount,
         kUntrusted + " (null) (null)", "", unpinned},
        {"a NULL thumbprint read", nullptr, 1, nullptr, 200, kDomain,
         kUntrusted + " (null) (null) (null)", "", unpinned},
        {"the service's status not passed on", "", 0, nullptr, 409,
         R"({"status": 1316, "message": "HV01$ exists"})", "1316 (null) (null)", post + "{" + host,
         postAt + "refused with HTTP 409, status 1316: HV01$ exists"},
        {"an answer that is not JSON taken for names", nullptr, 0, nullptr, 200,
         "CORP corp.example", "1359 (null) (null) (null)", get,
         getAt + "malformed answer: HTTP 200 without a JSON object"},
        {"a member of another type taken", "", 0, nullptr, 201,
         R"({"account": "HV01$", "provisioning": 5})", "1359 (null) (null)", post + "{" + host,
         postAt + "malformed answer: no string \"provisioning\""},
        {"a refusal without a status taken as success", nullptr, 0, nullptr, 502,
         R"({"message": "no status"})", "1359 (null) (null) (null)", get,
         getAt + "malformed answer: HTTP 502 without a status"},
        {"an answer of any length read", nullptr, 0, nullptr, 200,
         R"({"netbios_name": ")" + std::string(70000, 'C') + R"("})", "1359 (null) (null) (null)",
         get, getAt + "answer longer than 65536 bytes"},
    };
    for (Case const& row : cases) {
        SCOPED_TRACE(row.fault);
        service.Answer(row.httpStatus, row.body);
        sandbox::ClearCapturedLog();
        bool const create = row.container != nullptr;
        EXPECT_EQ(row.expected, Call(service.Server(), row.verify, row.pin,
                                     create && *row.container ? row.container : nullptr, create));
        EXPECT_EQ(row.request.empty() ? Lines() : Lines{row.request}, service.Take());
        Lines log;
        for (sandbox::LogLine const& line : sandbox::CapturedLog())
            log.push_back(std::to_string(line.priority) + " " + line.text);
        std::string const call = create ? "CreateMachineAccount: " : "GetDomainInfo: ";
        EXPECT_EQ(row.log.empty() ? Lines() : Lines{"4 qapclient: " + call + row.log}, log);
    }

    // Each call has its own connection and pin: concurrent calls with different pins each get
    // their own verdict.
    service.Answer(200, kDomain);
    std::vector<std::string> answers(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 3; ++round)
                answers[i] += Call(service.Server(), 1, i % 2 == 0 ? lower.c_str() : other.c_str());
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::string const good = "0 CORP corp.example S-1-5-21-1-2-3";
    std::string const bad = kUntrusted + " (null) (null) (null)";
    for (std::size_t i = 0; i < answers.size(); ++i)
        EXPECT_EQ(i % 2 == 0 ? good + good + good : bad + bad + bad, answers[i]) << i;
    EXPECT_EQ(12u, service.Take().size());
}

// No whole answer: each peer ends the call with its own status, in its bound.
TEST_F(QAPClientTest, PeersThatDoNotAnswer) {
    EXPECT_EQ("1225 (null) (null) (null)", Call(Socket(false).server, 0, nullptr));
    // Accepts the connection and closes it in the handshake.
    Socket const closing(true);
    std::thread closer([&] {
        pollfd ready = {closing.fd, POLLIN, 0};
        if (poll(&ready, 1, 20000) == 1) close(accept(closing.fd, nullptr, nullptr));
    });
    EXPECT_EQ("1229 (null) (null)", Call(closing.server, 0, nullptr, nullptr, true));
    closer.join();
    // Connected by the kernel, never read: the handshake's bound (10 s) ends the wait.
    Socket const silent(true);
    auto const start = std::chrono::steady_clock::now();
    EXPECT_EQ("10060 (null) (null) (null)", Call(silent.server, 1, "00:11"));
    EXPECT_LE(std::chrono::seconds(9), std::chrono::steady_clock::now() - start);
    // Not an address: no name is looked up.
    EXPECT_EQ("87 (null) (null) (null)", Call("localhost", 0, nullptr));
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
    service.Answer(201, kAccount);
    ComputerPrincipalInfo const account = QAPProxy("qapclient", "127.0.0.1", true, thumbprint)
                                              .CreateMachineAccount("hv01.corp.example", "OU=X");
    EXPECT_EQ("HV01$ UHJvdmlzaW9u", account.accountData1 + " " + account.accountData2);
    QAPProxy const other("qapclient", "127.0.0.1", true,
                         test_certificate::Make("127.0.0.1").thumbprint);
    EXPECT_EQ(Named(typeid(InvalidQAPCertificateException),
                    "The QAP server's certificate cannot be verified."),
              WhatThrown([&] { other.GetDNSDomainName(); }));
    EXPECT_EQ(2u, service.Take().size());
}

}  // namespace
