#include "store_comparison.h"

#include <authentication/active_directory_provider.h>
#include <authentication/active_directory_store.h>
#include <authentication/exceptions.h>
#include <authentication/status_mapping.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "bench_environment.h"
#include "floors.h"
#include "generated_files.h"
#include "provider_control.h"

using ostrel::authentication::ActiveDirectoryProvider;
using ostrel::authentication::ActiveDirectoryStore;

namespace bench {

namespace {

char const kPAMFile[] = "/etc/pam.d/system-auth-generic";
char const kAuthenticationFile[] = "/etc/ostrel/tslauth/authentication.conf";

void Pause(long nanoseconds) {
    struct timespec const pause = {nanoseconds / 1000000000, nanoseconds % 1000000000};
    nanosleep(&pause, nullptr);
}

void SetUpStoreHost(PrivateHost const& host) {
    host.InstallPlugin("bench");
    host.WriteStoreConfiguration("bench");
    WriteFileDurably(kPAMFile, TypicalPAMFile());
}

// MakeActive against the two bare replacements it makes, taken in turn. MakeInactive, untimed,
// takes the entry out again before each MakeActive.
void CompareMakeActive(Report& report, Storage storage, std::string const& diskDirectory,
                       bool quick) {
    PrivateHost host(storage, diskDirectory);
    SetUpStoreHost(host);
    ActiveDirectoryStore store(60);
    std::string const pam = TypicalPAMFile();
    std::string const record = "remote-authentication-store = \"Active Directory\"\n";
    SamplePlan plan;
    plan.warmup = 3;
    plan.samples = 300;
    plan.budgetSeconds = quick ? 1 : 4;
    PairedSamples const samples = SampleAlternately(
        plan, [&] { store.MakeActive(); },
        [&] {
            ReplaceAtomically(kPAMFile, pam);
            ReplaceAtomically(kAuthenticationFile, record);
        },
        [&] { store.MakeInactive(); });
    Summary const ours = Summarize(samples.first);
    Summary const floor = Summarize(samples.second);
    double const ratio = ours.median / floor.median;
    bool const disk = storage == Storage::kDisk;
    report.Row(disk ? "MakeActive, typical PAM file, on the disk" : "MakeActive, on tmpfs", ours,
               "floor: 2 bare replacements", floor, FormatRatio(ratio) + " the floor");
    if (disk) {
        report.Target("MakeActive on the disk: <= 1.50x the floor of its 2 replacements",
                      FormatRatio(ratio), ratio <= 1.5);
    }
}

// Per-call times of the cached query on `threads` threads at once, in batches of four calls.
std::vector<double> CachedLatencies(ActiveDirectoryStore const& store, int threads,
                                    double seconds) {
    std::vector<double> all;
    std::mutex merge;
    std::atomic<int> ready(0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            std::vector<double> mine;
            ++ready;
            while (ready.load() < threads) std::this_thread::yield();
            double const end = Now() + seconds * 1e9;
            while (Now() < end) {
                double const begin = Now();
                for (int i = 0; i < 4; ++i) delete store.GetStoreConfiguration();
                mine.push_back((Now() - begin) / 4);
            }
            std::lock_guard<std::mutex> hold(merge);
            all.insert(all.end(), mine.begin(), mine.end());
        });
    }
    for (std::thread& worker : workers) worker.join();
    return all;
}

void CompareCachedInFlight(Report& report, ActiveDirectoryStore& store, bool quick) {
    // A first worker fills the cache; the second one hangs.
    delete store.GetStoreConfiguration();
    ProviderControl const control;
    control.Hold(kGetActiveDomainSlot);
    std::thread caller([&] { delete store.GetStoreConfiguration(); });
    control.WaitUntilBlocked(kGetActiveDomainSlot);
    double const seconds = quick ? 0.3 : 1;
    Summary const one = Summarize(CachedLatencies(store, 1, seconds));
    Summary const eight = Summarize(CachedLatencies(store, 8, seconds));
    control.Release(kGetActiveDomainSlot);
    caller.join();
    Summary none;
    report.Row("cached answer, worker in flight, 1 thread", one, "", none, "");
    report.Target("cached answer in flight, 1 thread: median < 1 us", FormatDuration(one.median),
                  one.median < 1000);
    report.Row("cached answer, worker in flight, 8 threads", eight, "", none, "");
    report.Target("cached answer in flight, 8 threads: median < 2 us", FormatDuration(eight.median),
                  eight.median < 2000);
}

void CompareRoundTrip(Report& report, ActiveDirectoryStore& store, bool quick) {
    SamplePlan plan;
    plan.warmup = 5;
    plan.samples = 400;
    plan.batch = 5;
    plan.budgetSeconds = quick ? 1 : 3;
    PairedSamples const samples = SampleAlternately(
        plan, [&] { delete store.GetStoreConfiguration(); }, [] { ThreadRoundTrip(); });
    Summary const ours = Summarize(samples.first);
    Summary const floor = Summarize(samples.second);
    double const ratio = ours.median / floor.median;
    report.Row("worker round trip, immediate plug-in", ours, "floor: thread + condvar", floor,
               FormatRatio(ratio) + " the floor");
    report.Target("worker round trip: <= 2.00x the bare thread floor", FormatRatio(ratio),
                  ratio <= 2);
}

// How late a query returns after its time-out of one second. The slot is held so that the
// worker hangs, then released, and the next query waits until that worker has finished.
std::vector<double> Lateness(std::function<void()> const& query, int heldSlot, int lastSlot,
                             std::size_t samples, long offset) {
    ProviderControl const control;
    std::vector<double> lateness;
    Pause(offset);
    for (std::size_t attempt = 0; lateness.size() < samples && attempt < 3 * samples; ++attempt) {
        unsigned long const finished = control.Returned(lastSlot);
        control.Hold(heldSlot);
        double const begin = Now();
        query();
        double const elapsed = Now() - begin;
        control.Release(heldSlot);
        control.WaitUntilReturned(lastSlot, finished + 1);
        // The worker clears its in-flight mark right after its last call.
        Pause(2000000);
        // A query that found the previous worker still in flight answered at once: no sample.
        if (elapsed > 0.5e9) lateness.push_back(elapsed - 1e9);
    }
    return lateness;
}

void CompareTimeOut(Report& report, bool quick) {
    // The two query kinds have a worker each, so their time-outs are measured side by side,
    // half a second apart, and the bare timed wait between them.
    ActiveDirectoryStore store(1);
    std::size_t const samples = quick ? 3 : 15;
    std::vector<double> configuration;
    std::vector<double> trusted;
    std::vector<double> bare;
    std::thread floor([&] {
        Pause(250000000);
        for (std::size_t i = 0; i < 2 * samples; ++i) {
            double const begin = Now();
            WaitForTimeOut(1);
            bare.push_back(Now() - begin - 1e9);
            Pause(5000000);
        }
    });
    std::thread first([&] {
        configuration = Lateness([&] { delete store.GetStoreConfiguration(); },
                                 kGetActiveDomainSlot, kGetMachineAccountDNSlot, samples, 0);
    });
    std::thread second([&] {
        trusted = Lateness([&] { store.GetTrustedDomains(); }, kGetTrustedDomainsSlot,
                           kGetTrustedDomainsSlot, samples, 500000000);
    });
    first.join();
    second.join();
    floor.join();
    configuration.insert(configuration.end(), trusted.begin(), trusted.end());
    Summary const late = Summarize(configuration);
    Summary const bareLate = Summarize(bare);
    report.Row("time-out of 1 s: lateness", late, "floor: bare timed wait", bareLate,
               FormatDuration(late.p99 - bareLate.p99) + " over at p99");
    report.Note("max " + FormatDuration(late.max) + " (floor " + FormatDuration(bareLate.max) +
                "), min " + FormatDuration(late.min) + " (floor " + FormatDuration(bareLate.min) +
                ")");
    report.Target("time-out returns late by < 2 ms at p99", FormatDuration(late.p99),
                  late.p99 < 2e6);
}

void CompareLoading(Report& report, bool quick) {
    PrivateHost host(Storage::kTmpfs);
    std::string const path = host.InstallPlugin("benchload");
    SamplePlan plan;
    plan.warmup = 5;
    plan.samples = 300;
    plan.batch = 5;
    plan.budgetSeconds = quick ? 0.5 : 2;
    PairedSamples const samples = SampleAlternately(
        plan, [] { ActiveDirectoryProvider provider("benchload"); }, [&] { LoadAndUnload(path); });
    Summary const ours = Summarize(samples.first);
    Summary const floor = Summarize(samples.second);
    report.Row("provider plug-in load + unload", ours, "floor: dlopen+dlsym+dlclose", floor,
               FormatRatio(ours.median / floor.median) + " the floor");
}

void CompareExceptions(Report& report, bool quick) {
    SamplePlan plan;
    plan.warmup = 100;
    plan.samples = 200;
    plan.batch = 200;
    plan.budgetSeconds = quick ? 0.3 : 1;
    Summary const mapped = Summarize(Sample(plan, [] {
        try {
            ostrel::authentication::ThrowMappedException(5);
        } catch (ostrel::authentication::Exception const& e) {
            if (e.GetCode() != 5) throw;
        }
    }));
    Summary const bare = Summarize(Sample(plan, [] {
        try {
            throw std::runtime_error("bare");
        } catch (std::exception const&) {
        }
    }));
    report.Row("ThrowMappedException + catch", mapped, "floor: throw + catch", bare,
               FormatRatio(mapped.median / bare.median) + " the floor");
}

}  // namespace

void CompareStore(Report& report, bool quick, std::string const& diskDirectory) {
    report.Section("Durable writes: MakeActive end to end against the bare atomic replacements");
    CompareMakeActive(report, Storage::kDisk, diskDirectory, quick);
    CompareMakeActive(report, Storage::kTmpfs, diskDirectory, quick);

    report.Section("Cached queries and worker calls (tmpfs host, benchmark plug-in)");
    {
        PrivateHost host(Storage::kTmpfs);
        SetUpStoreHost(host);
        ActiveDirectoryStore store(60);
        CompareCachedInFlight(report, store, quick);
        CompareRoundTrip(report, store, quick);
        CompareTimeOut(report, quick);
    }

    report.Section("Plug-in loading and exceptions");
    CompareLoading(report, quick);
    CompareExceptions(report, quick);
}

}  // namespace bench
