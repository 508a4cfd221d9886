// Provider plug-ins that hang under load, break their metadata or fail every call.
#include <atomic>
#include <sstream>

#include "reliability_fixture.h"

using namespace ostrel::authentication;
using namespace reliability;
using namespace test_plugins;

namespace {

Domain ActiveDomain(ActiveDirectoryStore& store) {
    std::unique_ptr<StoreConfiguration> const configuration(store.GetStoreConfiguration());
    return dynamic_cast<ActiveDirectoryStoreConfiguration&>(*configuration).activeDomain;
}

unsigned Threads() {
    return static_cast<unsigned>(sandbox::ListDirectory("/proc/self/task").size());
}

long ResidentKiB() {
    std::string const status = sandbox::ReadFile("/proc/self/status");
    return std::stol(status.substr(status.find("VmRSS:") + 6));
}

using HostilePluginTest = ReliabilityTest;

TEST_F(HostilePluginTest, AHangingPluginCostsOneWorkerPerQueryKindUnderLoad) {
    Slot const hanging[] = {kGetActiveDomain, kGetTrustedDomains, kGetDomainTrustState};
    for (Slot slot : hanging) script->Hang(slot);
    ActiveDirectoryStore store(1);
    // A sanitizer runtime may start a thread of its own along with the first thread.
    pid_t warmUp = 0;
    std::thread([&] { warmUp = gettid(); }).join();
    ASSERT_TRUE(Eventually(
        [&] { return !sandbox::PathExists("/proc/self/task/" + std::to_string(warmUp)); }));
    unsigned const baseline = Threads(), callers = 8;
    unsigned const limit = baseline + callers + 1 + 3;  // callers, monitor, three stuck workers
    [[maybe_unused]] long const residentBefore = ResidentKiB();
    std::atomic<bool> done(false), tooMany(false);
    std::atomic<unsigned> failures(0);
    std::thread monitor([&] {
        for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(2)))
            tooMany = tooMany || Threads() > limit;  // the callers then give up at once
    });
    std::vector<std::thread> threads;
    for (unsigned caller = 0; caller < callers; ++caller) {
        threads.emplace_back([&, caller] {
            for (unsigned i = 0; i < 30000 && !tooMany; ++i) {
                try {
                    unsigned const kind = (i + caller) % 3;
                    // The trust state's cache: 0 until the first time-out stores 2.
                    TrustState const state = kind == 2 ? store.GetDomainTrustState() : 0;
                    failures += (kind == 0 && !ActiveDomain(store).dnsName.empty()) ||
                                (kind == 1 && !store.GetTrustedDomains().empty()) ||
                                (state != 0 && state != 2);
                } catch (...) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    done = true;
    monitor.join();
    EXPECT_EQ(0u, failures.load());
    EXPECT_FALSE(tooMany.load());
    for (Slot slot : hanging) EXPECT_EQ(1u, script->Calls(slot)) << slot;
    EXPECT_TRUE(Eventually([&] { return Threads() == baseline + 3; }));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(ResidentKiB() - residentBefore, 64 * 1024);  // sanitizers quarantine freed memory
#endif
    // Released, the workers fill the caches and end; the next call starts a new worker.
    script->SetActiveDomain("corp.example", "CORP");
    for (Slot slot : hanging) script->Release(slot);
    EXPECT_TRUE(Eventually([&] { return Threads() == baseline; }));
    EXPECT_EQ("corp.example", ActiveDomain(store).dnsName);
    EXPECT_EQ(2u, script->Calls(kGetActiveDomain));
}

// Refused before any file is touched: a 1 MiB statement the PAM library would cut up, too.
TEST_F(HostilePluginTest, BrokenMetadataNeverReachesThePAMFile) {
    sandbox::MountTmpfs(kPAMDirectory, 64 << 20);
    sandbox::WriteFile(kPAM, kRedHatStyle, 0640);
    std::string const invalidEntry =
        Named(typeid(SystemConfiguration::InvalidEntryException), "Invalid Entry: ");
    std::tuple<Plugin, std::string, std::string> const cases[] = {
        {Plugin::kNullModuleProvider, "nullmodule",
         Named(typeid(InvalidActiveDirectoryProviderException),
               "The specified Active Directory provider 'nullmodule' is invalid: The plug-in "
               "names no PAM module")},
        {Plugin::kLineBreakProvider, "evil",
         invalidEntry + "the module '/lib/security/$ISA/pam_evil.so\nauth\tsufficient\t"
                        "pam_permit.so' contains whitespace"},
        {Plugin::kOverlongProvider, "overlong",
         invalidEntry + "a statement is longer than 1021 characters"},
    };
    for (auto const& [plugin, name, thrown] : cases) {
        Install(plugin, name);
        WriteProviderConfiguration(name);
        Files const before = Snapshot();
        EXPECT_EQ(thrown, WhatThrown([&] { ActiveDirectoryStore(60).MakeActive(); }));
        EXPECT_TRUE(before == Snapshot());
        EXPECT_TRUE(Temporaries().empty());
    }
}

TEST_F(HostilePluginTest, APluginFailingEveryCallOnlyRaisesFamilyExceptions) {
    for (std::uint32_t status : {1u, 0xC000005Eu, 0xFFFFFFFFu}) {
        for (int slot = 1; slot <= 16; ++slot) script->SetStatus(Slot(slot), status);
        ActiveDirectoryStore store(60);
        std::function<void()> const operations[] = {
            [&] { store.GetTrustedDomains(); },
            [&] { store.SetPreferredDomainControllers({"dc1"}); },
            [&] { store.GetDomainControllerForDomain("corp.example"); },
            [&] { store.GetHostPrincipalForDomain("corp.example"); },
            [&] { store.SetSmartCardEnabledServices({"sshd"}); },
            [&] { store.GetSmartCardEnabledServices(); },
            [&] { store.ConvertCanonicalUsername("someone"); },
            [&] { store.GetDomainTrustState(); },
            [&] { store.GetDomainTrustRelationship("corp.example"); },
        };
        for (auto const& operation : operations) {
            try {
                operation();
            } catch (Exception const&) {
            }
        }
        // Failures leave the configuration empty; activation asks the plug-in nothing.
        EXPECT_EQ(Domain(), ActiveDomain(store));
        store.MakeActive();
        SystemConfiguration::PAMPolicy policy("system-auth-generic");
        std::istringstream pam(sandbox::ReadFile(kPAM));
        EXPECT_NO_THROW(pam >> policy);
        EXPECT_FALSE(pam.bad());
        store.MakeInactive();
    }
}

}  // namespace
