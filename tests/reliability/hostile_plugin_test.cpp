// Provider plug-ins that hang, flood, hand back NULL, break their metadata or fail every
// call: the store stays within its bounds (one worker per query kind, bounded waits and
// memory) and reports failures as exceptions of its family; nothing crashes.
#include <authentication/no_remote_authentication_store.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>

#include "reliability_fixture.h"

using namespace ostrel::authentication;
using namespace reliability;
using test_plugins::CString;

namespace {

typedef std::unique_ptr<ActiveDirectoryStoreConfiguration> ConfigurationCopy;

ConfigurationCopy ConfigurationOf(ActiveDirectoryStore const& store) {
    return ConfigurationCopy(
        dynamic_cast<ActiveDirectoryStoreConfiguration*>(store.GetStoreConfiguration()));
}

unsigned Threads() {
    return static_cast<unsigned>(sandbox::ListDirectory("/proc/self/task").size());
}

// A joined thread may still be on its way out of the process's thread list (under a user-mode
// emulator, noticeably so): waits, boundedly, until none of these task ids is listed.
bool Gone(std::vector<pid_t> const& tasks) {
    return Eventually([&] {
        for (pid_t task : tasks) {
            if (sandbox::PathExists("/proc/self/task/" + std::to_string(task))) return false;
        }
        return true;
    });
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
long StatusKiB(std::string const& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

// Installs one of the plug-ins built from hostile_provider.c as lib<name>.so.
void InstallHostile(char const* built, std::string const& name) {
    sandbox::WriteFile(test_plugins::PluginPath(name, test_plugins::Location::kLibSubdirectory),
                       sandbox::ReadFile(built), 0755);
    test_plugins::WriteProviderConfiguration(name);
}

class HostilePluginTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        sandbox::WriteFile(kConf, kNone, 0644);
        sandbox::WriteFile(kPAM, kRedHatStyle, 0640);
    }
};

}  // namespace

TEST_F(HostilePluginTest, AHangingPluginCostsOneWorkerPerQueryKindUnderLoad) {
    test_plugins::Slot const hanging[] = {test_plugins::kGetActiveDomain,
                                          test_plugins::kGetTrustedDomains,
                                          test_plugins::kGetDomainTrustState};
    for (test_plugins::Slot slot : hanging) script->Hang(slot);
    int const timeout = 1;
    ActiveDirectoryStore store(timeout);

    unsigned const callers = 8;
    unsigned const callsEach = 10000;  // of each query, by each caller
    // A sanitizer runtime may start a thread of its own along with the first thread.
    pid_t warmUp = 0;
    std::thread([&] { warmUp = gettid(); }).join();
    ASSERT_TRUE(Gone({warmUp}));
    unsigned const baseline = Threads();
    long const rssBefore = StatusKiB("VmRSS");
    // Besides the callers and the monitor, at most the three stuck workers.
    unsigned const limit = baseline + callers + 1 + 3;
    std::atomic<bool> loaded(false);
    std::atomic<bool> stop(false);  // a worker too many: the callers give up at once
    std::atomic<unsigned> mostThreads(0);
    std::atomic<long> mostRss(0);
    std::vector<pid_t> tasks(callers + 1);  // the callers' and the monitor's
    std::thread monitor([&] {
        tasks.back() = gettid();
        while (!loaded) {
            unsigned const threads = Threads();
            if (threads > limit) stop = true;
            mostThreads = std::max(mostThreads.load(), threads);
            mostRss = std::max(mostRss.load(), StatusKiB("VmRSS"));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    typedef std::chrono::steady_clock Clock;
    std::vector<Clock::duration> slowest(3 * callers, Clock::duration::zero());
    std::atomic<unsigned> failures(0);
    std::vector<std::thread> threads;
    for (unsigned caller = 0; caller < callers; ++caller) {
        threads.emplace_back([&, caller] {
            tasks[caller] = gettid();
            for (unsigned i = 0; i < 3 * callsEach && !stop; ++i) {
                unsigned const kind = (i + caller) % 3;
                Clock::time_point const start = Clock::now();
                try {
                    if (kind == 0) {
                        if (!ConfigurationOf(store)->activeDomain.dnsName.empty()) ++failures;
                    } else if (kind == 1) {
                        if (!store.GetTrustedDomains().empty()) ++failures;
                    } else {
                        // The cache: 0 until the first time-out stores 2.
                        TrustState const state = store.GetDomainTrustState();
                        if (state != 0 && state != 2) ++failures;
                    }
                } catch (...) {
                    ++failures;
                }
                Clock::duration& most = slowest[3 * caller + kind];
                most = std::max(most, Clock::now() - start);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    loaded = true;
    monitor.join();

    EXPECT_EQ(0u, failures.load());
    // One worker of each kind entered the plug-in, and no further thread was ever started.
    for (test_plugins::Slot slot : hanging) EXPECT_EQ(1u, script->Calls(slot)) << slot;
    EXPECT_GE(limit, mostThreads.load());
    EXPECT_FALSE(stop.load());
    // Once the callers and the monitor are gone, the three stuck workers remain.
    EXPECT_TRUE(Gone(tasks));
    EXPECT_EQ(baseline + 3, Threads());
    // Calls wait at most the time-out (the trust state twice: trusted domains, then itself).
    Clock::duration waited[3] = {};
    for (unsigned i = 0; i < slowest.size(); ++i) {
        waited[i % 3] = std::max(waited[i % 3], slowest[i]);
    }
    auto const slack = std::chrono::seconds(10);
    EXPECT_LT(waited[0], std::chrono::seconds(timeout) + slack);
    EXPECT_LT(waited[1], std::chrono::seconds(timeout) + slack);
    EXPECT_LT(waited[2], std::chrono::seconds(2 * timeout) + slack);
    long const rssAfter = StatusKiB("VmRSS");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Sanitizers keep freed memory in quarantine; elsewhere the load leaves no trace.
    EXPECT_LT(mostRss.load() - rssBefore, 64 * 1024);
#endif
    auto ms = [](Clock::duration d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    };
    std::cout << "[ figures  ] " << callers << " callers x " << callsEach
              << " calls of each query; threads: baseline " << baseline << ", most "
              << mostThreads.load() << "; longest waits (ms): configuration " << ms(waited[0])
              << ", trusted domains " << ms(waited[1]) << ", trust state " << ms(waited[2])
              << "; VmRSS KiB before " << rssBefore << ", most " << mostRss.load() << ", after "
              << rssAfter << "; VmHWM KiB " << StatusKiB("VmHWM") << std::endl;

    // Released, the workers fill the caches and end; the next call starts a new worker.
    script->SetActiveDomain(CString("corp.example"), CString("CORP"));
    for (test_plugins::Slot slot : hanging) script->Release(slot);
    EXPECT_TRUE(Eventually([&] { return Threads() == baseline; }));
    EXPECT_EQ("corp.example", ConfigurationOf(store)->activeDomain.dnsName);
    EXPECT_EQ(2u, script->Calls(test_plugins::kGetActiveDomain));
}

TEST_F(HostilePluginTest, HugeListsArriveWholeAndAreReleased) {
    unsigned const count = 100000;
    std::vector<CString> controllers, services;
    std::vector<std::pair<CString, CString>> domains;
    std::deque<std::string> names;
    for (unsigned i = 0; i < count; ++i) {
        std::string const n = std::to_string(i);
        controllers.push_back(CString("dc" + n + ".corp.example"));
        services.push_back(CString("service" + n));
        domains.push_back({CString("d" + n + ".example"), CString("D" + n)});
        names.push_back("dc" + n);
    }
    script->SetArray(test_plugins::kGetPreferredDomainControllers, controllers);
    script->SetArray(test_plugins::kGetSmartCardEnabledServices, services);
    script->SetTrustedDomains(domains);
    ActiveDirectoryStore store(60);

    ConfigurationCopy configuration = ConfigurationOf(store);
    ASSERT_EQ(count, configuration->preferredDomainControllers.size());
    EXPECT_EQ("dc99999.corp.example", configuration->preferredDomainControllers.back());
    std::deque<Domain> const trusted = store.GetTrustedDomains();
    ASSERT_EQ(count, trusted.size());
    EXPECT_EQ(Domain("d99999.example", "D99999"), trusted.back());
    std::vector<std::string> const enabled = store.GetSmartCardEnabledServices();
    ASSERT_EQ(count, enabled.size());
    EXPECT_EQ("service99999", enabled.back());
    store.SetPreferredDomainControllers(names);
    auto const received = script->Received(test_plugins::kSetPreferredDomainControllers);
    ASSERT_EQ(1u, received.size());
    ASSERT_TRUE(received[0].array.has_value());
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.end()), *received[0].array);
    // Everything the plug-in handed out went back to it.
    EXPECT_EQ(0u, script->Outstanding());
}

TEST_F(HostilePluginTest, NullResultsAndMissingDeallocatorsGiveEmptyAnswers) {
    // Success with every result NULL and no deallocator handed back.
    for (int slot = 1; slot <= 16; ++slot) {
        script->SetGivesDeallocator(static_cast<test_plugins::Slot>(slot), false);
    }
    script->SetTrustedDomains(
        std::vector<std::pair<CString, CString>>{{std::nullopt, std::nullopt}});
    ActiveDirectoryStore store(60);
    ConfigurationCopy configuration = ConfigurationOf(store);
    EXPECT_EQ(Domain(), configuration->activeDomain);
    EXPECT_TRUE(configuration->preferredDomainControllers.empty());
    EXPECT_EQ("", configuration->machineAccountDN);
    EXPECT_EQ(std::deque<Domain>{Domain()}, store.GetTrustedDomains());
    EXPECT_EQ("", store.GetDomainControllerForDomain("corp.example"));
    EXPECT_EQ("", store.GetHostPrincipalForDomain("corp.example"));
    EXPECT_EQ("", store.ConvertCanonicalUsername("someone"));
    EXPECT_TRUE(store.GetSmartCardEnabledServices().empty());
    EXPECT_TRUE(script->Deallocated().empty());
}

// One plug-in at a time: each exports the same data symbols.
TEST_F(HostilePluginTest, BrokenMetadataNeverReachesThePAMFile) {
    // Metadata without a PAM module is refused when the plug-in is loaded, before activation
    // could write an entry that names only the module directory.
    InstallHostile(TSLAUTH_TEST_PLUGIN_NULL_MODULE_PROVIDER, "nullmodule");
    installed.push_back(
        test_plugins::PluginPath("nullmodule", test_plugins::Location::kLibSubdirectory));
    Files const unchanged = Snapshot();
    EXPECT_EQ(Named(typeid(InvalidActiveDirectoryProviderException),
                    "The specified Active Directory provider 'nullmodule' is invalid: The plug-in "
                    "names no PAM module"),
              WhatThrown([] { ActiveDirectoryStore(60).MakeActive(); }));
    EXPECT_TRUE(unchanged == Snapshot());

    // A module name that carries a line break is refused by the PAM writer before any file
    // is touched; parameters are split into words and so cannot break the line.
    InstallHostile(TSLAUTH_TEST_PLUGIN_LINE_BREAK_PROVIDER, "evil");
    installed.push_back(test_plugins::PluginPath("evil", test_plugins::Location::kLibSubdirectory));
    {
        ActiveDirectoryStore evil(60);
        EXPECT_EQ(
            (std::vector<std::string>{"first", "account", "sufficient", "pam_permit.so", "#"}),
            std::vector<std::string>(evil.GetPAMEntryForProvider().parameters()));
        Files const before = Snapshot();
        EXPECT_EQ(
            Named(typeid(SystemConfiguration::InvalidEntryException),
                  "Invalid Entry: the module '/lib/security/$ISA/pam_evil.so\nauth\tsufficient\t"
                  "pam_permit.so' contains whitespace"),
            WhatThrown([&] { evil.MakeActive(); }));
        EXPECT_TRUE(before == Snapshot());
        EXPECT_TRUE(Temporaries().empty());
    }

    // A 1 MiB module name with 100,000 parameters is refused before any file is touched: the
    // PAM library would cut such a line into several statements.
    sandbox::MountTmpfs(kPAMDirectory, 64 << 20);
    sandbox::WriteFile(kPAM, kRedHatStyle, 0640);
    InstallHostile(TSLAUTH_TEST_PLUGIN_OVERLONG_PROVIDER, "overlong");
    installed.push_back(
        test_plugins::PluginPath("overlong", test_plugins::Location::kLibSubdirectory));
    ActiveDirectoryStore overlong(60);
    SystemConfiguration::PAMEntry const entry = overlong.GetPAMEntryForProvider();
    ASSERT_EQ(std::string("/lib/security/$ISA/").size() + (1u << 20), entry.module().size());
    ASSERT_EQ(100000u, entry.parameters().size());
    Files const before = Snapshot();
    EXPECT_EQ(Named(typeid(SystemConfiguration::InvalidEntryException),
                    "Invalid Entry: a statement is longer than 1021 characters"),
              WhatThrown([&] { overlong.MakeActive(); }));
    EXPECT_TRUE(before == Snapshot());
    EXPECT_TRUE(Temporaries().empty());
}

TEST_F(HostilePluginTest, APluginFailingEveryCallOnlyRaisesFamilyExceptions) {
    std::uint32_t const statuses[] = {1, 5, 1355, 1326, 0xC000005Eu, 0xDEADBEEFu, 0xFFFFFFFFu};
    unsigned calls = 0;
    for (std::uint32_t status : statuses) {
        SCOPED_TRACE(status);
        for (int slot = 1; slot <= 16; ++slot) {
            if (slot != 6) script->SetStatus(static_cast<test_plugins::Slot>(slot), status);
        }
        ActiveDirectoryStore store(60);
        std::function<void()> const operations[] = {
            [&] { ConfigurationOf(store); },
            [&] { store.GetTrustedDomains(); },
            [&] { store.GetDomainTrustState(); },
            [&] { store.SetPreferredDomainControllers({"dc1"}); },
            [&] { store.GetDomainControllerForDomain("corp.example"); },
            [&] { store.GetHostPrincipalForDomain("corp.example"); },
            [&] { store.GetDomainTrustRelationship("corp.example"); },
            [&] { store.SetSmartCardEnabledServices({"sshd"}); },
            [&] { store.GetSmartCardEnabledServices(); },
            [&] { store.ConvertCanonicalUsername("someone"); },
            [&] { store.MakeActive(); },
            [&] { store.MakeInactive(); },
        };
        for (auto const& operation : operations) {
            ++calls;
            try {
                operation();
            } catch (Exception const&) {
            } catch (std::exception const& e) {
                ADD_FAILURE() << "outside the family: " << typeid(e).name() << ": " << e.what();
            }
        }
        // The configuration worker ignores each failure and leaves its field empty.
        EXPECT_EQ(Domain(), ConfigurationOf(store)->activeDomain);
        // Activation does not ask the plug-in anything, so it works whatever the plug-in says.
        EXPECT_TRUE(ParsesAsPAM(sandbox::ReadFile(kPAM)));
    }
    std::cout << "[ figures  ] failing calls made: " << calls << std::endl;
}
