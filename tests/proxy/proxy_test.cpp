// The enrolment service without a domain controller (requests against a DC are the directory
// suite's): its configuration file, which peers may enrol, which host names it accepts.
#include <gtest/gtest.h>
#include <unistd.h>

#include "allow_list.h"
#include "config.h"
#include "host_name.h"
#include "sandbox.h"

using namespace proxyd;

namespace {

std::string const kRequired =
    "certificate = /etc/tslauth-proxyd/cert.pem\nprivate-key = /etc/tslauth-proxyd/key.pem\n"
    "domain = corp.example\nuser = enrol\npassword = p#ss = word\n";

// The message ParseConfig or LoadConfig throws, or "" when the text parses.
std::string Problem(std::string const& text, std::string const& path = "") {
    try {
        path.empty() ? ParseConfig(text, "proxyd.conf") : LoadConfig(path);
    } catch (ConfigError const& error) {
        return error.what();
    }
    return "";
}

// Every setting on one line, the allow list as whether it lets 198.18.0.7 and 2001:db8::1 in.
std::string Shown(ProxyConfig const& c) {
    return c.listenAddress + " " + std::to_string(c.listenPort) + " " + c.certificate + " " +
           c.privateKey + " " + c.domain + " " + c.user + " " + c.password + " [" + c.container +
           "] " + std::to_string(c.dcTimeoutSeconds) + " " + std::to_string(c.workers) + " " +
           c.helper + " " + std::to_string(c.allow.Allows("198.18.0.7")) +
           std::to_string(c.allow.Allows("2001:db8::1"));
}

TEST(ProxyConfig, SettingsDefaultsAndMalformedLines) {
    std::string const path = sandbox::ScratchDirectory() + "/proxyd.conf";
    sandbox::WriteFile(path, "# the service\n\n  " + kRequired, 0600);
    std::string const files = "/etc/tslauth-proxyd/cert.pem /etc/tslauth-proxyd/key.pem";
    EXPECT_EQ("0.0.0.0 9443 " + files +
                  " corp.example enrol p#ss = word [] 30 8 "
                  "/usr/libexec/tslauth/lib/tslauth-samba-helper 00",
              Shown(LoadConfig(path)));
    EXPECT_EQ(":: 8443 " + files + " corp.example enrol p#ss = word [OU=Hypervisors] 5 2 /opt/h 11",
              Shown(ParseConfig(kRequired + "listen = [::]:8443\ncontainer = OU=Hypervisors\n"
                                            "allow = 198.18.0.0/24\nallow = 2001:db8::/32\n"
                                            "dc-timeout = 5\nworkers = 2\nhelper = /opt/h\n",
                                "proxyd.conf")));
    for (auto const& c : std::vector<std::pair<std::string, std::string>>{
             {"listen 0.0.0.0:9443", "expected 'key = value'"},
             {"colour = blue", "unknown setting 'colour'"},
             {"listen = 0.0.0.0:65536",
              "listen: '0.0.0.0:65536' is not ADDRESS:PORT (such as 0.0.0.0:9443 or [::]:9443)"},
             {"helper = tslauth-samba-helper",
              "helper: 'tslauth-samba-helper' is not an absolute path"},
             {"allow = 10.1.2.3/16",
              "allow: '10.1.2.3/16' has address bits set beyond the prefix length"},
             {"workers = 257", "workers: '257' is not a number from 1 to 256"}})
        EXPECT_EQ(Problem(kRequired + c.first + "\n"), "proxyd.conf:6: " + c.second);
    EXPECT_EQ(Problem(kRequired.substr(0, kRequired.find("password"))),
              "proxyd.conf: 'password' is not set");
    // It holds the enrolment account's password: no access for others, owned by root.
    for (char const* mode : {"0640", "0604"}) {
        sandbox::WriteFile(path, kRequired, std::stoi(mode, nullptr, 8));
        EXPECT_EQ(Problem("", path), path + " has mode " + mode +
                                         "; it holds the enrolment account's password, so group "
                                         "and other users must have no access: chmod 600 " +
                                         path);
    }
    // Neither is the service's private key anyone else's.
    sandbox::WriteFile(path, "key", 0640);
    EXPECT_EQ("private key " + path +
                  " has mode 0640; whoever reads it can pass for the "
                  "service: chmod 600 " +
                  path,
              [&] {
                  try {
                      CheckPrivateKey(path);
                  } catch (ConfigError const& e) {
                      return std::string(e.what());
                  }
                  return std::string();
              }());
    sandbox::WriteFile(path, kRequired, 0600);
    // Only the real root can give a file away; the unprivileged run maps one user alone.
    if (chown(path.c_str(), 1000, 0) != 0) GTEST_SKIP() << "chown refused";
    EXPECT_EQ(Problem("", path), path +
                                     " is owned by uid 1000, not root; it holds the "
                                     "enrolment account's password: chown root " +
                                     path);
}

// An IPv4 peer on a dual-stack socket comes IPv4-mapped; a link-local one with its interface.
TEST(ProxyAllowList, MatchesAddressesAgainstRangesOfTheirOwnFamily) {
    AllowList list, everyV4;
    AddressRange parsed;
    std::string why, allowed;
    for (char const* range : {"198.18.0.0/31", "10.0.0.5", "2001:db8:0:80::/57", "fe80::1"}) {
        ASSERT_TRUE(ParseAddressRange(range, parsed, why)) << range << ": " << why;
        list.Add(parsed);
    }
    for (char const* peer : {"198.18.0.1", "::ffff:10.0.0.5", "2001:db8:0:ff:ffff:ffff:ffff:ffff",
                             "fe80::1%eth0", "198.18.0.2", "10.0.0.6", "::ffff:10.0.0.6",
                             "::10.0.0.5", "2001:db8:0:100::", "fe80::2", "not-an-address"})
        allowed += std::to_string(list.Allows(peer));
    EXPECT_EQ("11110000000", allowed);
    ASSERT_TRUE(ParseAddressRange("0.0.0.0/0", parsed, why));
    everyV4.Add(parsed);
    EXPECT_TRUE(everyV4.Allows("255.255.255.255") && !everyV4.Allows("::1"));
    for (char const* bad : {"10.0.0.0/", "::/129", "10.0.0.0/+8", "2001:db8::1/64", "corp.example"})
        EXPECT_FALSE(ParseAddressRange(bad, parsed, why)) << bad;
}
// "NAME=ACCOUNT" for an accepted host name, "NAME" for a refused one, separated by "|".
TEST(ProxyHostName, AcceptsDnsNamesWhoseFirstLabelIsAComputerAccountName) {
    std::string const a63(63, 'a');  // the longest label
    std::string const table =
        "hv01.corp.example=HV01|Hv-01.Corp.Example=HV-01|fifteen-chars-x.corp.example="
        "FIFTEEN-CHARS-X|sixteen-chars-xy.corp.example||hv01.|1234.corp|1234a.corp=1234A|krbtgt."
        "corp|"
        "System.corp|hv01..corp|-hv01.corp|hv01-.corp|"
        "hv 01.corp|hv_01.corp|hv01\n.corp|hv\xc3\xa9.corp|hv01." +
        a63 + ".example=HV01|hv01." + a63 + "a.example";
    for (std::size_t at = 0, end = 0; end != std::string::npos; at = end + 1) {
        end = table.find('|', at);
        std::string const c = table.substr(at, end == std::string::npos ? end : end - at);
        std::string const name = c.substr(0, c.find('='));
        std::string account, why;
        bool const accepted = AccountNameForHost(name, account, why);
        EXPECT_EQ(c, accepted ? name + "=" + account : name);
        EXPECT_EQ(accepted, why.empty()) << c;
    }
}

}  // namespace
