// The enrolment service without a domain controller: its configuration file, which peers may
// enrol, and which host names it accepts. (Requests against a real DC are the directory
// suite's.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "allow_list.h"
#include "config.h"
#include "host_name.h"
#include "sandbox.h"

using namespace proxyd;

namespace {

std::string const kRequired =
    "certificate = /etc/tslauth-proxyd/cert.pem\n"
    "private-key = /etc/tslauth-proxyd/key.pem\n"
    "domain = corp.example\n"
    "user = enrol\n"
    "password = p#ss = word\n";

// The message ParseConfig throws for the text, or "" when it parses.
std::string ParseProblem(std::string const& text) {
    try {
        ParseConfig(text, "proxyd.conf");
    } catch (ConfigError const& error) {
        return error.what();
    }
    return "";
}

// The message LoadConfig throws for the file, or "" when it loads.
std::string LoadProblem(std::string const& path) {
    try {
        LoadConfig(path);
    } catch (ConfigError const& error) {
        return error.what();
    }
    return "";
}

TEST(ProxyConfig, ReadsEverySettingAndKeepsTheDefaultsOfThoseNotSet) {
    std::string const path = sandbox::ScratchDirectory() + "/proxyd.conf";
    sandbox::WriteFile(path, "# the service\n\n  " + kRequired, 0600);
    ProxyConfig defaults = LoadConfig(path);
    EXPECT_EQ(defaults.listenAddress, "0.0.0.0");
    EXPECT_EQ(defaults.listenPort, 9443);
    EXPECT_EQ(defaults.certificate, "/etc/tslauth-proxyd/cert.pem");
    EXPECT_EQ(defaults.privateKey, "/etc/tslauth-proxyd/key.pem");
    EXPECT_EQ(defaults.domain, "corp.example");
    EXPECT_EQ(defaults.user, "enrol");
    EXPECT_EQ(defaults.password, "p#ss = word");  // only whole lines are comments
    EXPECT_EQ(defaults.container, "");
    EXPECT_TRUE(defaults.allow.Empty());
    EXPECT_EQ(defaults.dcTimeoutSeconds, 30);
    EXPECT_EQ(defaults.workers, 8);
    EXPECT_EQ(defaults.helper, "/usr/libexec/tslauth/lib/tslauth-samba-helper");

    ProxyConfig all = ParseConfig(kRequired +
                                      "listen = [::]:8443\ncontainer = OU=Hypervisors\n"
                                      "allow = 198.18.0.0/24\nallow = 2001:db8::/32\n"
                                      "dc-timeout = 5\nworkers = 2\nhelper = /opt/helper\n",
                                  "proxyd.conf");
    EXPECT_EQ(all.listenAddress, "::");
    EXPECT_EQ(all.listenPort, 8443);
    EXPECT_EQ(all.container, "OU=Hypervisors");
    EXPECT_TRUE(all.allow.Allows("198.18.0.7"));
    EXPECT_TRUE(all.allow.Allows("2001:db8::1"));
    EXPECT_EQ(all.dcTimeoutSeconds, 5);
    EXPECT_EQ(all.workers, 2);
    EXPECT_EQ(all.helper, "/opt/helper");
    EXPECT_EQ(ParseConfig(kRequired + "listen = 10.0.0.1\n", "c").listenPort, 9443);
}

TEST(ProxyConfig, NamesTheLineAndTheProblemOfEachMalformedLine) {
    struct Case {
        std::string line;
        std::string message;
    } const cases[] = {
        {"listen 0.0.0.0:9443", "proxyd.conf:6: expected 'key = value'"},
        {"listen =", "proxyd.conf:6: listen: no value"},
        {"colour = blue", "proxyd.conf:6: unknown setting 'colour'"},
        {"user = second", "proxyd.conf:6: user: set twice"},
        {"listen = 0.0.0.0:0",
         "proxyd.conf:6: listen: '0.0.0.0:0' is not ADDRESS:PORT (such as 0.0.0.0:9443 or "
         "[::]:9443)"},
        {"listen = 0.0.0.0:65536",
         "proxyd.conf:6: listen: '0.0.0.0:65536' is not ADDRESS:PORT (such as 0.0.0.0:9443 or "
         "[::]:9443)"},
        {"listen = ::1:9443",
         "proxyd.conf:6: listen: '::1:9443' is not ADDRESS:PORT (such as 0.0.0.0:9443 or "
         "[::]:9443)"},
        {"listen = proxy.corp.example:9443",
         "proxyd.conf:6: listen: 'proxy.corp.example:9443' is not ADDRESS:PORT (such as "
         "0.0.0.0:9443 or [::]:9443)"},
        {"helper = tslauth-samba-helper",
         "proxyd.conf:6: helper: 'tslauth-samba-helper' is not an absolute path"},
        {"allow = 10.0.0.0/33", "proxyd.conf:6: allow: '/33' is not a prefix length from 0 to 32"},
        {"allow = 10.1.2.3/16",
         "proxyd.conf:6: allow: '10.1.2.3/16' has address bits set beyond the prefix length"},
        {"allow = corp.example",
         "proxyd.conf:6: allow: 'corp.example' is not an IPv4 or IPv6 address"},
        {"dc-timeout = 0",
         "proxyd.conf:6: dc-timeout: '0' is not a number of seconds from 1 to 3600"},
        {"dc-timeout = -5",
         "proxyd.conf:6: dc-timeout: '-5' is not a number of seconds from 1 to 3600"},
        {"workers = 257", "proxyd.conf:6: workers: '257' is not a number from 1 to 256"},
        {"workers = 4x", "proxyd.conf:6: workers: '4x' is not a number from 1 to 256"},
    };
    for (Case const& c : cases) {
        EXPECT_EQ(ParseProblem(kRequired + c.line + "\n"), c.message) << c.line;
    }
    EXPECT_EQ(ParseProblem("domain = corp\n"),
              "proxyd.conf:1: domain: 'corp' is not the DNS name of a domain (such as "
              "corp.example)");
    // Each required setting, when it is the one left out.
    for (char const* key : {"certificate", "private-key", "domain", "user", "password"}) {
        std::string text;
        for (std::string line : {"certificate = /c", "private-key = /k", "domain = corp.example",
                                 "user = u", "password = p"}) {
            if (line.compare(0, std::string(key).size() + 1, std::string(key) + " ") != 0) {
                text += line + "\n";
            }
        }
        EXPECT_EQ(ParseProblem(text), "proxyd.conf: '" + std::string(key) + "' is not set");
    }
}

TEST(ProxyConfig, RefusesAFileThatOthersCanReadOrRootDoesNotOwn) {
    std::string const path = sandbox::ScratchDirectory() + "/open.conf";
    struct Case {
        mode_t mode;
        std::string message;
    } const cases[] = {
        {0600, ""},
        {0400, ""},
        {0640, path +
                   " has mode 0640; it holds the enrolment account's password, so group and "
                   "other users must have no access: chmod 600 " +
                   path},
        {0604, path +
                   " has mode 0604; it holds the enrolment account's password, so group and "
                   "other users must have no access: chmod 600 " +
                   path},
        {0620, path +
                   " has mode 0620; it holds the enrolment account's password, so group and "
                   "other users must have no access: chmod 600 " +
                   path},
    };
    for (Case const& c : cases) {
        sandbox::WriteFile(path, kRequired, c.mode);
        EXPECT_EQ(LoadProblem(path), c.message) << std::oct << c.mode;
    }
    EXPECT_EQ(LoadProblem("/nonexistent/proxyd.conf"),
              "/nonexistent/proxyd.conf: No such file or directory");

    sandbox::WriteFile(path, kRequired, 0600);
    // Only the real root can give a file away; the unprivileged run maps one user alone.
    if (chown(path.c_str(), 1000, 0) != 0) GTEST_SKIP() << "chown: " << std::strerror(errno);
    EXPECT_EQ(LoadProblem(path), path +
                                     " is owned by uid 1000, not root; it holds the enrolment "
                                     "account's password: chown root " +
                                     path);
}

TEST(ProxyAllowList, MatchesAddressesAgainstRangesOfTheirOwnFamily) {
    AllowList list;
    for (char const* range : {"198.18.0.0/31", "10.0.0.5", "2001:db8:0:80::/57", "fe80::1"}) {
        AddressRange parsed;
        std::string why;
        ASSERT_TRUE(ParseAddressRange(range, parsed, why)) << range << ": " << why;
        list.Add(parsed);
    }
    struct Case {
        char const* peer;
        bool allowed;
    } const cases[] = {
        {"198.18.0.0", true},
        {"198.18.0.1", true},
        {"198.18.0.2", false},
        {"198.17.255.255", false},
        {"10.0.0.5", true},
        {"10.0.0.4", false},
        {"10.0.0.6", false},
        // An IPv4 peer on a dual-stack socket.
        {"::ffff:10.0.0.5", true},
        {"::ffff:10.0.0.6", false},
        // Not an IPv4-mapped address: no IPv4 range applies.
        {"::10.0.0.5", false},
        {"2001:db8:0:80::1", true},
        {"2001:db8:0:ff:ffff:ffff:ffff:ffff", true},
        {"2001:db8:0:7f:ffff:ffff:ffff:ffff", false},
        {"2001:db8:0:100::", false},
        {"fe80::1%eth0", true},  // a link-local peer comes with its interface
        {"fe80::2", false},
        {"", false},
        {"not-an-address", false},
    };
    for (Case const& c : cases) EXPECT_EQ(list.Allows(c.peer), c.allowed) << c.peer;
    EXPECT_FALSE(AllowList().Allows("10.0.0.5"));

    AddressRange any;
    std::string why;
    ASSERT_TRUE(ParseAddressRange("0.0.0.0/0", any, why));
    AllowList everyV4;
    everyV4.Add(any);
    EXPECT_TRUE(everyV4.Allows("255.255.255.255"));
    EXPECT_FALSE(everyV4.Allows("::1"));
    for (char const* bad :
         {"10.0.0.0/", "10.0.0.0/8/8", "::/129", "10.0.0.0/+8", "10.0.0.0/ 8", "2001:db8::1/64"}) {
        EXPECT_FALSE(ParseAddressRange(bad, any, why)) << bad;
    }
}

TEST(ProxyHostName, AcceptsDnsNamesWhoseFirstLabelIsAComputerAccountName) {
    struct Case {
        std::string hostName;
        std::string account;  // "" when refused
    } const cases[] = {
        {"hv01.corp.example", "HV01"},
        {"hv01", "HV01"},
        {"Hv-01.Corp.Example", "HV-01"},
        {"fifteen-chars-x.corp.example", "FIFTEEN-CHARS-X"},
        {"sixteen-chars-xy.corp.example", ""},
        {"hv01." + std::string(63, 'a') + ".example", "HV01"},
        {"hv01." + std::string(64, 'a') + ".example", ""},
        {"", ""},
        {"hv01.", ""},
        {".hv01", ""},
        {"hv01..corp", ""},
        {"-hv01.corp", ""},
        {"hv01-.corp", ""},
        {"hv01.corp-.example", ""},
        {"hv 01.corp", ""},
        {"hv01 .corp", ""},
        {"hv_01.corp", ""},
        {"hv01\n.corp", ""},
        {"hv\xc3\xa9.corp", ""},
        {std::string(3, 'a') + "." + std::string(62, 'b') + "." + std::string(62, 'c') + "." +
             std::string(62, 'd') + "." + std::string(60, 'e'),
         "AAA"},  // 253 characters
        {std::string(3, 'a') + "." + std::string(62, 'b') + "." + std::string(62, 'c') + "." +
             std::string(62, 'd') + "." + std::string(61, 'e'),
         ""},  // 254
    };
    for (Case const& c : cases) {
        std::string account = "(unset)", why;
        bool const accepted = AccountNameForHost(c.hostName, account, why);
        EXPECT_EQ(accepted ? account : "", c.account) << c.hostName << ": " << why;
        EXPECT_EQ(why.empty(), accepted) << c.hostName;
    }
}

}  // namespace
