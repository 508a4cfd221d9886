#ifndef TESTS_DEMO_DEMO_FIXTURE_H
#define TESTS_DEMO_DEMO_FIXTURE_H

// The demo directory's plug-ins installed in the sandbox under their own names, with a small
// directory file of their own.
#include <authentication/active_directory_store.h>
#include <authentication/exceptions.h>
#include <stdio.h>

#include <chrono>
#include <string>
#include <thread>

#include "sandbox.h"
#include "test_plugins.h"
#include "what_thrown.h"

inline char const kDirectoryFile[] = "/etc/ostrel/tslauth/demo-directory.conf";
inline char const kProxyCertificate[] = "/etc/ostrel/tslauth/proxy.pem";
inline std::string const kAccountDN = "CN=SANDBOX-HOST,CN=Computers,DC=corp,DC=example";

inline std::string const kDirectory =
    "# test directory\n"
    "[directory]\n"
    "unresponsive = no\n"
    "\n"
    "[domain corp.example]\n"
    "netbios-name = CORP\n"
    "sid = S-1-5-21-1-2-3\n"
    "controllers = dc1.corp.example dc2.corp.example\n"
    "trust = lab.example LAB two-way\n"
    "trust = partner.example PARTNER inbound\n"
    "join-account = administrator Secret 1\n"
    "computer = FILESERVER 00ff CN=FILESERVER,CN=Computers,DC=corp,DC=example\n"
    "\n"
    "[domain lab.example]\n"
    "netbios-name = LAB\n"
    "sid = S-1-5-21-4-5-6\n"
    "controllers = dc.lab.example\n"
    "\n"
    "[host]\n"
    "smart-card-services = sshd\n"
    "\n"
    "[proxy]\n"
    "address = 192.0.2.1\n"
    "domain = corp.example\n"
    "certificate = /etc/ostrel/tslauth/proxy.pem\n";

// kDirectory after this host joined corp.example with the account password `password`.
inline std::string Joined(std::string const& password, std::string const& dn = kAccountDN) {
    std::string text = kDirectory;
    std::string const fileserver = "DC=corp,DC=example\n\n[domain lab";
    text.insert(text.find(fileserver) + 19,
                "computer = SANDBOX-HOST " + password + " " + dn + "\n");
    std::string const services = "smart-card-services = sshd\n";
    text.insert(text.find(services) + services.size(),
                "domain = corp.example\nmachine-account = " + dn + "\n");
    return text;
}

// The generated password of this host's computer account in the directory file: 32
// lower-case hexadecimal digits.
inline std::string AccountPassword() {
    std::string const text = sandbox::ReadFile(kDirectoryFile);
    std::string const start = "computer = SANDBOX-HOST ";
    std::size_t const at = text.find(start);
    if (at == std::string::npos) return "(none)";
    std::string const password = text.substr(at + start.size(), 32);
    if (password.size() != 32 ||
        password.find_first_not_of("0123456789abcdef") != std::string::npos ||
        text.compare(at + start.size() + 32, 1, " ") != 0) {
        return "(malformed)";
    }
    return password;
}

template <class Condition>
bool Eventually(Condition condition) {
    for (int i = 0; i < 4000 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

class DemoTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        sandbox::SandboxTest::SetUp();
        providerPath = Install(DEMO_DIRECTORY_PLUGIN, "demodirectory");
        proxyPath = Install(DEMO_PROXY_PLUGIN, "demoproxy");
        test_plugins::WriteProviderConfiguration("demodirectory");
        test_plugins::WriteQAPProviderConfiguration("demoproxy");
        ReplaceDirectory(kDirectory);
    }

    // A query still waiting on the switch finishes once it is off; its worker then lets go
    // of the provider, which unloads the plug-in before the next test.
    void TearDown() override {
        ReplaceDirectory(kDirectory);
        for (std::string const& path : {providerPath, proxyPath}) {
            EXPECT_TRUE(Eventually([&] { return !test_plugins::IsLoaded(path); })) << path;
        }
        sandbox::SandboxTest::TearDown();
    }

    static std::string Install(char const* built, std::string const& name) {
        std::string const path =
            test_plugins::PluginPath(name, test_plugins::Location::kLibSubdirectory);
        sandbox::WriteFile(path, sandbox::ReadFile(built), 0755);
        return path;
    }

    // Replaced by rename, as the plug-ins do, so that a query polling the file never sees
    // it missing.
    static void ReplaceDirectory(std::string const& text) {
        std::string const temporary = std::string(kDirectoryFile) + ".test";
        sandbox::WriteFile(temporary, text, 0600);
        ASSERT_EQ(0, ::rename(temporary.c_str(), kDirectoryFile));
    }
    static void SetUnresponsive(bool unresponsive) {
        std::string text = sandbox::ReadFile(kDirectoryFile);
        std::string const from = unresponsive ? "unresponsive = no" : "unresponsive = yes";
        std::string const to = unresponsive ? "unresponsive = yes" : "unresponsive = no";
        text.replace(text.find(from), from.size(), to);
        ReplaceDirectory(text);
    }

    // "priority text" of the lines logged so far.
    static std::vector<std::string> Log() {
        std::vector<std::string> lines;
        for (sandbox::LogLine const& line : sandbox::CapturedLog()) {
            lines.push_back(std::to_string(line.priority) + " " + line.text);
        }
        return lines;
    }

    std::string providerPath;
    std::string proxyPath;
};

#endif
