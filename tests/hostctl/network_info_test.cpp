#include <gtest/gtest.h>
#include <hostctl/network_info.h>

#include "host_control_fixture.h"

namespace {

char const kConfigured[] = "/etc/ostrel/hostctl/management-interface";

std::unique_ptr<HostCtl::Network::NetworkInterface> Management() {
    return QuorCtl::Network::NetworkInfoImpl().GetManagementInterface();
}

std::string ManagementAddress() {
    return Management()->GetIpConfig().GetIpv4Address().GetStringAddress();
}

}  // namespace

class NetworkInfoTest : public HostControlTest {
protected:
    void SetUp() override {
        HostControlTest::SetUp();
        AddVeth("hcmgmt0", "hcmgmt1", "192.0.2.10/24");
        AddVeth("hcother0", "hcother1", "198.51.100.7/24");
        Run("ip addr add 198.51.100.8/24 dev hcother0");
    }
};

TEST_F(NetworkInfoTest, ConfiguredInterfaceComesFirst) {
    Run("ip route add default via 192.0.2.1 dev hcmgmt0");
    sandbox::WriteFile(kConfigured, "  hcother0 \n\n");
    std::unique_ptr<HostCtl::Network::NetworkInterface> management = Management();
    ASSERT_NE(nullptr, management);
    EXPECT_EQ("hcother0", management->GetName());
    EXPECT_EQ("198.51.100.7", ManagementAddress());  // the first address, not the second
    sandbox::WriteFile(kConfigured, "lo");
    EXPECT_EQ("127.0.0.1", ManagementAddress());
}

TEST_F(NetworkInfoTest, OtherwiseTheDefaultRouteWithTheLowestMetric) {
    Run("ip route add default via 192.0.2.1 dev hcmgmt0 metric 200");
    Run("ip route add default via 198.51.100.1 dev hcother0 metric 100");
    EXPECT_EQ("hcother0", Management()->GetName());
    Run("ip route del default via 198.51.100.1 dev hcother0 metric 100");
    EXPECT_EQ("hcmgmt0", Management()->GetName());
    EXPECT_EQ("192.0.2.10", ManagementAddress());
    // An unreachable default route carries no traffic.
    Run("ip route add unreachable default metric 1");
    EXPECT_EQ("hcmgmt0", Management()->GetName());
}

TEST_F(NetworkInfoTest, FailuresNameTheFileOrInterface) {
    EXPECT_EQ("No IPv4 default route in '/proc/net/route': Network is unreachable",
              ErrorOf(Management));
    sandbox::WriteFile(kConfigured, "nosuch0\n");
    EXPECT_EQ("Unable to find the management interface 'nosuch0': No such device",
              ErrorOf(Management));
    sandbox::WriteFile(kConfigured, " \n");
    EXPECT_EQ(std::string("No interface named in '") + kConfigured + "': Invalid argument",
              ErrorOf(Management));
    sandbox::WriteFile(kConfigured, "hcmgmt0\nhcother0\n");
    EXPECT_EQ(std::string("More than one line in '") + kConfigured + "': Invalid argument",
              ErrorOf(Management));
    sandbox::WriteFile(kConfigured, "eth0/x\n");
    EXPECT_EQ(
        std::string("Invalid interface name 'eth0/x' in '") + kConfigured + "': Invalid argument",
        ErrorOf(Management));

    AddVeth("hcbare0", "hcbare1", "");
    sandbox::WriteFile(kConfigured, "hcbare0\n");
    EXPECT_EQ("No IPv4 address on interface 'hcbare0': Cannot assign requested address",
              ErrorOf([] { Management()->GetIpConfig(); }));
}
