#ifndef TESTS_JOIN_JOIN_FIXTURE_H
#define TESTS_JOIN_JOIN_FIXTURE_H

#include <authentication/exceptions.h>

#include <cstdlib>

#include "../store/store_fixture.h"

// The sandbox's own hosts file and resolver configuration.
inline std::string const kLocalHosts = "127.0.0.1\tlocalhost\n::1\tlocalhost\n";
inline std::string const kResolver = "nameserver 127.0.0.1\n";
inline char const kServers[] = "/etc/ostrel/tslauth/qapservers.conf";

inline std::string BadAddress(std::string const& address) {
    return Named(typeid(ostrel::authentication::InvalidIPAddressException),
                 "The IP Address is invalid: IPv4 address '" + address +
                     "' cannot be parsed as an IP address");
}
inline std::string const kInvalidStore =
    Named(typeid(ostrel::authentication::InvalidThumbprintStoreException),
          std::string("The specified thumbprint store '") + kServers + "' is invalid");

// A store over the scripted provider and the management interface "jmgmt0" (192.0.2.10/24).
class JoinTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        sandbox::MakeDirectory("/etc/ostrel/hostctl");
        sandbox::WriteFile("/etc/ostrel/hostctl/management-interface", "jmgmt0\n");
        ASSERT_EQ(0, std::system("ip link add jmgmt0 type veth peer name jmgmt1 && "
                                 "ip addr add 192.0.2.10/24 dev jmgmt0 && ip link set jmgmt0 up"));
        store.reset(new ostrel::authentication::ActiveDirectoryStore(60));
    }
    void TearDown() override {
        store.reset();
        EXPECT_EQ(0, std::system("ip link del jmgmt0"));  // takes its peer along
        StoreTest::TearDown();
    }
    // Names the host; /etc/hosts becomes the sandbox's lines plus `lines`.
    void NameHost(std::string const& name, std::string const& lines) {
        sandbox::SetHostName(name);
        sandbox::WriteFile("/etc/hosts", kLocalHosts + lines);
    }
    void ExpectFiles(std::string const& hosts, std::string const& resolver) {
        EXPECT_EQ(hosts + "|" + resolver,
                  sandbox::ReadFile("/etc/hosts") + "|" + sandbox::ReadFile("/etc/resolv.conf"));
    }
    std::vector<std::string> TakeLog() {  // "priority text" of each line since the last look
        std::vector<std::string> lines = Log();
        sandbox::ClearCapturedLog();
        return lines;
    }

    std::unique_ptr<ostrel::authentication::ActiveDirectoryStore> store;
};

#endif
