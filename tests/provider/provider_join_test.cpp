#include <authentication/active_directory_provider.h>
#include <authentication/exceptions.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include "provider_script.h"
#include "sandbox.h"
#include "test_plugins.h"
#include "thrown.h"

using namespace ostrel::authentication;
using namespace test_plugins;

namespace {

using Sleeps = std::vector<unsigned>;

class ProviderJoinTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        InstallPlugin(Plugin::kScriptedProvider, "ad");
        provider = std::make_unique<ActiveDirectoryProvider>("ad");
    }

    // Calls of the slot and pauses since the last look.
    std::pair<unsigned, Sleeps> Since(Slot slot) {
        unsigned const calls = script.Calls(slot) - seenCalls;
        seenCalls = script.Calls(slot);
        Sleeps const sleeps = sandbox::RecordedSleeps();
        sandbox::ClearRecordedSleeps();
        return {calls, sleeps};
    }

    ProviderScript script;
    std::unique_ptr<ActiveDirectoryProvider> provider;
    unsigned seenCalls = 0;
    Credentials const admin = {"admin", "secret"};
};

std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (auto const& line : sandbox::CapturedLog()) {
        EXPECT_EQ(line.priority, LOG_INFO) << line.text;
        lines.push_back(line.text);
    }
    sandbox::ClearCapturedLog();
    return lines;
}

std::vector<std::string> AttemptLines(int count) {
    std::vector<std::string> lines;
    for (int attempt = 1; attempt <= count; ++attempt) {
        lines.push_back("Adding host to domain: Attempt (" + std::to_string(attempt) + "/8)");
    }
    return lines;
}

// What the retry listener was told: failed attempt, attempts, pause, status.
using Retries = std::vector<std::vector<unsigned long>>;

void RecordRetry(int failedAttempt, int attempts, unsigned pause, std::uint32_t status,
                 void* context) {
    static_cast<Retries*>(context)->push_back({static_cast<unsigned long>(failedAttempt),
                                               static_cast<unsigned long>(attempts), pause,
                                               status});
}

TEST_F(ProviderJoinTest, RetriesOnlyTheTransientFailureWithoutAFinalPause) {
    Retries retries;
    SetJoinRetryListener(RecordRetry, &retries);
    // A wrong password is never tried again: each try would count towards a lockout.
    script.SetStatus(kJoinDomain, 1326);
    Catch<LogonFailureException>([&] { provider->JoinDomain("ad", "", admin); });
    EXPECT_EQ(Since(kJoinDomain), std::make_pair(1u, Sleeps{}));

    script.SetStatus(kJoinDomain, 0xFFFF0000);
    EXPECT_EQ(Catch<UnknownException>([&] { provider->JoinDomain("ad", "", admin); }).code,
              0xFFFF0000ul);
    EXPECT_EQ(Since(kJoinDomain), std::make_pair(8u, Sleeps(7, 30)));
    ASSERT_EQ(retries.size(), 7u);
    EXPECT_EQ(retries.front(), (std::vector<unsigned long>{1, 8, 30, 0xFFFF0000ul}));
    EXPECT_EQ(retries.back(), (std::vector<unsigned long>{7, 8, 30, 0xFFFF0000ul}));
    SetJoinRetryListener(nullptr, nullptr);

    script.SetStatuses(kJoinDomain, {0xFFFF0000, 0xFFFF0000, 0xFFFF0000, 0});
    provider->JoinDomain("ad", "OU=Hosts", admin);
    EXPECT_EQ(Since(kJoinDomain), std::make_pair(4u, Sleeps(3, 30)));
    for (auto const& call : script.Received(kJoinDomain)) EXPECT_EQ(call.credentials, &admin);
    EXPECT_EQ(retries.size(), 7u);

    // Other failures end at once.
    script.SetStatuses(kJoinDomain, {0xFFFF0000, 1326});
    Catch<LogonFailureException>([&] { provider->JoinDomain("ad", "", admin); });
    EXPECT_EQ(Since(kJoinDomain), std::make_pair(2u, Sleeps{30}));
    script.SetStatus(kJoinDomain, 2691);
    Catch<SetupAlreadyJoinedException>([&] { provider->JoinDomain("ad", "", admin); });
    EXPECT_EQ(Since(kJoinDomain), std::make_pair(1u, Sleeps{}));
    script.SetStatus(kJoinDomain, 0);
    provider->JoinDomain("ad", "", admin);
    EXPECT_EQ(Since(kJoinDomain), std::make_pair(1u, Sleeps{}));

    EXPECT_TRUE(Lines().empty());
}

TEST_F(ProviderJoinTest, MachineAccountJoinLogsEachAttempt) {
    QAP::DirectoryDomainInfo const domainInfo{"", "AD", "ad.example.com", "S-1-5-21-1"};
    QAP::MachineAccountInfo const accountInfo{"sandbox-host", "ad.example.com", "", "1", "2"};

    script.SetStatuses(kJoinDomainWithMachineAccount, {1326, 0xFFFF0000, 0});
    provider->JoinDomainWithMachineAccount(domainInfo, accountInfo);
    EXPECT_EQ(Since(kJoinDomainWithMachineAccount), std::make_pair(3u, Sleeps(2, 30)));
    EXPECT_EQ(Lines(), AttemptLines(3));

    script.SetStatus(kJoinDomainWithMachineAccount, 1326);
    Catch<LogonFailureException>(
        [&] { provider->JoinDomainWithMachineAccount(domainInfo, accountInfo); });
    EXPECT_EQ(Since(kJoinDomainWithMachineAccount), std::make_pair(8u, Sleeps(7, 30)));
    EXPECT_EQ(Lines(), AttemptLines(8));

    script.SetStatus(kJoinDomainWithMachineAccount, 87);
    Catch<InvalidParameterException>(
        [&] { provider->JoinDomainWithMachineAccount(domainInfo, accountInfo); });
    EXPECT_EQ(Since(kJoinDomainWithMachineAccount), std::make_pair(1u, Sleeps{}));
    EXPECT_EQ(Lines(), AttemptLines(1));
}

}  // namespace
