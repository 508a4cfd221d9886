#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <hostctl/hostctl_exception.h>
#include <hostctl/ipv4_address.h>
#include <hostctl/network_interface.h>

#include "host_control_fixture.h"

using HostCtl::Network::Ipv4Address;

TEST(Ipv4AddressTest, AcceptsExactlyDottedQuads) {
    for (char const* text : {"192.0.2.10", "0.0.0.0", "255.255.255.255"}) {
        EXPECT_TRUE(Ipv4Address::IsValidAddress(text)) << text;
    }
    std::string const invalid[] = {"",           "192.0.2",      "192.0.2.1.5",  "256.0.0.1",
                                   "192.0.2.01", " 192.0.2.1",   "192.0.2.1 ",   "192.0.2.1\n",
                                   "0x7f.0.0.1", "::1",          "host.example", "-1.0.0.0",
                                   "1..2.3",     "192.0.2.1/24", "192.0.2.1:389"};
    for (std::string const& text : invalid) {
        EXPECT_FALSE(Ipv4Address::IsValidAddress(text)) << text;
    }
    // Nothing after an embedded NUL is ignored.
    EXPECT_FALSE(Ipv4Address::IsValidAddress(std::string("192.0.2.1\0junk", 14)));
}

TEST(Ipv4AddressTest, KeepsTheAddressAndRefusesBadText) {
    EXPECT_EQ("192.0.2.10", Ipv4Address("192.0.2.10").GetStringAddress());
    EXPECT_EQ("0.0.0.0", Ipv4Address().GetStringAddress());
    EXPECT_EQ("192.0.2.1", Ipv4Address::FromNetworkOrder(htonl(0xC0000201u)).GetStringAddress());
    HostCtl::Network::IpConfig config(Ipv4Address("198.51.100.7"));
    EXPECT_EQ("198.51.100.7", config.GetIpv4Address().GetStringAddress());
    EXPECT_EQ("Invalid IPv4 address '1.2.3': Invalid argument",
              ErrorOf([] { Ipv4Address("1.2.3"); }));
}

TEST(HostCtlExceptionTest, CarriesItsMessage) {
    HostCtl::Lib::HostCtlException error("Unable to get root option branch");
    EXPECT_STREQ("Unable to get root option branch", error.what());
    HostCtl::Lib::HostCtlException copy = error;
    EXPECT_STREQ("Unable to get root option branch", copy.what());
    EXPECT_STREQ("", HostCtl::Lib::HostCtlException(nullptr).what());
    try {
        throw HostCtl::Lib::HostCtlException("thrown");
    } catch (std::exception const& caught) {
        EXPECT_STREQ("thrown", caught.what());
    }
}
