// Joining with credentials and leaving: the checks before the plug-in is asked, and exactly
// what the plug-in receives.
#include <authentication/exceptions.h>

#include "join_fixture.h"

using namespace ostrel::authentication;
using namespace test_plugins;
using Strings = std::vector<CString>;

namespace {

class CredentialsJoinTest : public JoinTest {
protected:
    std::string Join(std::string const& domain, Credentials const& credentials, bool skip) {
        return WhatThrown([&] { store->JoinDomain(domain, credentials, skip); });
    }
    Credentials const admin = {"admin", "secret"};
};

TEST_F(CredentialsJoinTest, CredentialsComeFirstThenTheHostName) {
    NameHost("localhost", "");  // a host name that would be refused
    std::string const prefix = "The credentials that were provided were invalid: ";
    std::string const noUser =
        Named(typeid(InvalidCredentialsException), prefix + "no username was specified");
    std::string const noPassword =
        Named(typeid(InvalidCredentialsException),
              prefix +
                  "empty or no password was specified; the account must have a non-empty "
                  "password to join the host to domain");
    EXPECT_EQ(noUser, Join("corp.example", Credentials{nullptr, nullptr}, false));
    EXPECT_EQ(noPassword, Join("corp.example", Credentials{"admin", nullptr}, false));
    EXPECT_EQ(noPassword, Join("corp.example", Credentials{"admin", ""}, false));
    // An empty user name passes; the host name is then refused before the plug-in is asked.
    EXPECT_EQ(Named(typeid(InvalidHostNameException),
                    "The current hostname is invalid: hostname is in blacklist"),
              Join("corp.example", Credentials{"", "secret"}, false));
    EXPECT_EQ(0u, script->Calls(kJoinDomain));
    EXPECT_EQ("(returned)", Join("corp.example", Credentials{"", "secret"}, true));
    ExpectFiles(kLocalHosts, kResolver);
}

TEST_F(CredentialsJoinTest, DomainAndContainerSplitAtTheFirstSlash) {
    std::vector<std::pair<std::string, Strings>> const cases = {
        {"corp.example", {"corp.example", std::nullopt, "admin", "secret"}},
        {"corp.example/OU=Hosts/OU=Lab", {"corp.example", "OU=Hosts/OU=Lab", "admin", "secret"}},
        {"corp.example/", {"corp.example", std::nullopt, "admin", "secret"}},
        {"/OU=Hosts", {"", "OU=Hosts", "admin", "secret"}},
    };
    for (auto const& c : cases) EXPECT_EQ("(returned)", Join(c.first, admin, true));
    std::vector<ReceivedCall> const received = script->Received(kJoinDomain);
    ASSERT_EQ(cases.size(), received.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(cases[i].second, received[i].strings) << cases[i].first;
        EXPECT_EQ(&admin, received[i].credentials);  // the caller's own record
    }
    // The host-name check sees the domain name alone.
    NameHost("node01", "198.51.100.5\tnode01\n");
    EXPECT_EQ("(returned)", Join("corp.example/OU=Hosts", admin, false));
    ExpectFiles(kLocalHosts + "198.51.100.5\tnode01\n192.0.2.10\tnode01.corp.example node01\n",
                kResolver);
}

TEST_F(CredentialsJoinTest, RetriesAndLeaving) {
    script->SetStatus(kJoinDomain, 1326);
    EXPECT_EQ(Named(typeid(LogonFailureException),
                    "Exception 0x0000052e: The attempted logon is invalid. This is due to either "
                    "a bad user name or authentication information."),
              Join("corp.example", admin, true));
    EXPECT_EQ(1u, script->Calls(kJoinDomain));
    EXPECT_TRUE(sandbox::RecordedSleeps().empty());

    store->PartDomain();
    Credentials const empty = {nullptr, nullptr};
    store->PartDomain(empty);
    std::vector<ReceivedCall> const parted = script->Received(kPartDomain);
    ASSERT_EQ(2u, parted.size());
    EXPECT_EQ(nullptr, parted[0].credentials);
    EXPECT_EQ(&empty, parted[1].credentials);
    EXPECT_EQ((Strings{std::nullopt, std::nullopt}), parted[1].strings);
    script->SetStatus(kPartDomain, 5);
    EXPECT_EQ(Named(typeid(AccessDeniedException), "Exception 0x00000005: Access is denied."),
              WhatThrown([&] { store->PartDomain(admin); }));
}

}  // namespace
