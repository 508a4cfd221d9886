// The Active Directory store and the provider wrapper, each inside a private host with the
// benchmark plug-in installed.
#include <authentication/active_directory_provider.h>
#include <authentication/active_directory_store.h>
#include <authentication/exceptions.h>
#include <authentication/status_mapping.h>
#include <benchmark/benchmark.h>

#include <memory>
#include <thread>

#include "bench_environment.h"
#include "generated_files.h"
#include "provider_control.h"

using ostrel::authentication::ActiveDirectoryProvider;
using ostrel::authentication::ActiveDirectoryStore;

namespace {

char const kPAMFile[] = "/etc/pam.d/system-auth-generic";

// A private host with the plug-in installed as "bench" and a store on it.
struct StoreHost {
    explicit StoreHost(bench::Storage storage) : host(storage) {
        host.InstallPlugin("bench");
        host.WriteStoreConfiguration("bench");
        bench::WriteFileDurably(kPAMFile, bench::TypicalPAMFile());
        store.reset(new ActiveDirectoryStore(60));
    }
    bench::PrivateHost host;
    std::unique_ptr<ActiveDirectoryStore> store;
};

// MakeActive end to end: PAM file read, edited and replaced, then authentication.conf read and
// replaced. MakeInactive, untimed, takes the entry out again between the runs.
void MakeActive(benchmark::State& state, bench::Storage storage) {
    StoreHost setup(storage);
    for (auto _ : state) {
        setup.store->MakeActive();
        state.PauseTiming();
        setup.store->MakeInactive();
        state.ResumeTiming();
    }
}
void BM_MakeActiveOnDisk(benchmark::State& state) {
    MakeActive(state, bench::Storage::kDisk);
}
BENCHMARK(BM_MakeActiveOnDisk)->UseRealTime()->Unit(benchmark::kMicrosecond);
void BM_MakeActiveOnTmpfs(benchmark::State& state) {
    MakeActive(state, bench::Storage::kTmpfs);
}
BENCHMARK(BM_MakeActiveOnTmpfs)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The store configuration answered from the cache while the one worker of its kind hangs in
// the plug-in; an earlier worker filled the cache. The first thread sets up; the others wait
// at the loop's start.
std::unique_ptr<StoreHost> inFlightHost;
std::unique_ptr<std::thread> inFlightCaller;

void BM_CachedQueryWhileWorkerInFlight(benchmark::State& state) {
    if (state.thread_index() == 0) {
        inFlightHost.reset(new StoreHost(bench::Storage::kTmpfs));
        ActiveDirectoryStore* store = inFlightHost->store.get();
        delete store->GetStoreConfiguration();
        bench::ProviderControl().Hold(bench::kGetActiveDomainSlot);
        inFlightCaller.reset(new std::thread([store] { delete store->GetStoreConfiguration(); }));
        bench::ProviderControl().WaitUntilBlocked(bench::kGetActiveDomainSlot);
    }
    for (auto _ : state) delete inFlightHost->store->GetStoreConfiguration();
    if (state.thread_index() == 0) {
        bench::ProviderControl().Release(bench::kGetActiveDomainSlot);
        inFlightCaller->join();
        inFlightCaller.reset();
        inFlightHost.reset();
    }
}
BENCHMARK(BM_CachedQueryWhileWorkerInFlight)->Threads(1)->Threads(8)->UseRealTime();

// A full worker round trip: thread started, three plug-in calls, cache filled, caller woken.
void BM_CachedQueryWorkerRoundTrip(benchmark::State& state) {
    StoreHost setup(bench::Storage::kTmpfs);
    for (auto _ : state) delete setup.store->GetStoreConfiguration();
}
BENCHMARK(BM_CachedQueryWorkerRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_ProviderLoadAndUnload(benchmark::State& state) {
    bench::PrivateHost host(bench::Storage::kTmpfs);
    host.InstallPlugin("benchload");
    for (auto _ : state) ActiveDirectoryProvider provider("benchload");
}
BENCHMARK(BM_ProviderLoadAndUnload)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_ThrowMappedExceptionAndCatch(benchmark::State& state) {
    unsigned const status = static_cast<unsigned>(state.range(0));
    for (auto _ : state) {
        try {
            ostrel::authentication::ThrowMappedException(status);
        } catch (ostrel::authentication::Exception const& e) {
            benchmark::DoNotOptimize(e.GetCode());
        }
    }
}
// Access denied, and a status the mapping does not know.
BENCHMARK(BM_ThrowMappedExceptionAndCatch)->Arg(5)->Arg(0x12345);

}  // namespace
