// Provider plug-ins that hang under load or break their metadata.
#include <atomic>

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
    EXPECT_TRUE(failures == 0 && !tooMany) << failures << " failures";
    for (Slot slot : hanging) EXPECT_EQ(1u, script->Calls(slot)) << slot;
    EXPECT_TRUE(Eventually([&] { return Threads() == baseline + 3; }));
    // Released, the workers fill the caches and end; the next call starts a new worker.
    script->SetActiveDomain("corp.example", "CORP");
    for (Slot slot : hanging) script->Release(slot);
    EXPECT_TRUE(Eventually([&] { return Threads() == baseline; }));
    EXPECT_EQ("corp.example", ActiveDomain(store).dnsName);
    EXPECT_EQ(2u, script->Calls(kGetActiveDomain));
}

// Refused before any file is touched, one row per check on the way.
TEST_F(HostilePluginTest, BrokenMetadataNeverReachesThePAMFile) {
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
        EXPECT_TRUE(before == Snapshot());  // no temporary file either
    }
}

}  // namespace
