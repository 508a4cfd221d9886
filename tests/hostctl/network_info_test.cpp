#include <gtest/gtest.h>
#include <hostctl/network_info.h>

#include "host_control_fixture.h"

namespace {

char const kConfigured[] = "/etc/ostrel/hostctl/management-interface";

std::unique_ptr<HostCtl::Network::NetworkInterface> Management() {
    return QuorCtl::Network::NetworkInfoImpl().GetManagementInterface();
}

// "name address" of the management interface.
std::string Chosen() {
    auto const chosen = Management();
    return chosen->GetName() + " " + chosen->GetIpConfig().GetIpv4Address().GetStringAddress();
}

}  // namespace

class NetworkInfoTest : public HostControlTest {
protected:
    void SetUp() override {
        HostControlTest::SetUp();
        AddVeth("hcmgmt0", "192.0.2.10/24");
        AddVeth("hcother0", "198.51.100.7/24");
        Run("ip addr add 198.51.100.8/24 dev hcother0");
    }
};

TEST_F(NetworkInfoTest, TheConfiguredInterfaceOrTheDefaultRouteWithTheLowestMetric) {
    Run("ip route add default via 192.0.2.1 dev hcmgmt0 metric 200");
    sandbox::WriteFile(kConfigured, "  hcother0 \n\n");
    EXPECT_EQ("hcother0 198.51.100.7", Chosen());  // the first address, not the second
    sandbox::WriteFile(kConfigured, "lo");
    EXPECT_EQ("lo 127.0.0.1", Chosen());
    ASSERT_EQ(0, ::unlink(kConfigured));
    Run("ip route add default via 198.51.100.1 dev hcother0 metric 100");
    EXPECT_EQ("hcother0 198.51.100.7", Chosen());
    Run("ip route del default via 198.51.100.1 dev hcother0 metric 100");
    EXPECT_EQ("hcmgmt0 192.0.2.10", Chosen());
    // An unreachable default route carries no traffic.
    Run("ip route add unreachable default metric 1");
    EXPECT_EQ("hcmgmt0 192.0.2.10", Chosen());
}

TEST_F(NetworkInfoTest, FailuresNameTheFileOrInterface) {
    EXPECT_EQ("No IPv4 default route in '/proc/net/route': Network is unreachable",
              ErrorOf(Management));
    std::string const in = std::string(" in '") + kConfigured + "': Invalid argument";
    struct {
        std::string content, message;
    } const cases[] = {
        {"nosuch0\n", "Unable to find the management interface 'nosuch0': No such device"},
        {" \n", "No interface named" + in},
        {"hcmgmt0\nhcother0\n", "More than one line" + in},
        {"eth0/x\n", "Invalid interface name 'eth0/x'" + in},
    };
    for (auto const& c : cases) {
        sandbox::WriteFile(kConfigured, c.content);
        EXPECT_EQ(c.message, ErrorOf(Management));
    }
    AddVeth("hcbare0", "");
    sandbox::WriteFile(kConfigured, "hcbare0\n");
    EXPECT_EQ("No IPv4 address on interface 'hcbare0': Cannot assign requested address",
              ErrorOf([] { Management()->GetIpConfig(); }));
}
