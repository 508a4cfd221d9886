#include <authentication/domain.h>
#include <gtest/gtest.h>

#include <sstream>

using ostrel::authentication::Domain;

namespace {

std::string Printed(Domain const& domain) {
    std::ostringstream stream;
    stream << domain;
    return stream.str();
}

TEST(DomainTest, ConstructsAndCopiesBothNames) {
    Domain const empty;
    EXPECT_EQ(empty.dnsName, "");
    EXPECT_EQ(empty.netbiosName, "");

    Domain const named("ad.example.com", "AD");
    EXPECT_EQ(named.dnsName, "ad.example.com");
    EXPECT_EQ(named.netbiosName, "AD");

    Domain copy(named);
    EXPECT_EQ(copy, named);
    copy = empty;
    EXPECT_EQ(copy, empty);
    EXPECT_NE(copy, named);
    EXPECT_NE(Domain("ad.example.com", ""), Domain("", "ad.example.com"));
}

TEST(DomainTest, PrintsBothNamesWithUnsetForEmptyOnes) {
    EXPECT_EQ(Printed(Domain("ad.example.com", "AD")),
              "DNS Name: ad.example.com, NetBIOS Name: AD");
    EXPECT_EQ(Printed(Domain()), "DNS Name: (unset), NetBIOS Name: (unset)");
    EXPECT_EQ(Printed(Domain("ad.example.com", "")),
              "DNS Name: ad.example.com, NetBIOS Name: (unset)");
    EXPECT_EQ(Printed(Domain("", "AD")), "DNS Name: (unset), NetBIOS Name: AD");
    // Names are written as they are, blanks included.
    EXPECT_EQ(Printed(Domain(" ", "A D")), "DNS Name:  , NetBIOS Name: A D");
}

}  // namespace
