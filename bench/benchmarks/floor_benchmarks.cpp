// The machine's floors under the library's operations, measured like the library's cases.
#include <benchmark/benchmark.h>

#include "bench_environment.h"
#include "floors.h"
#include "generated_files.h"

namespace {

// The two replacements MakeActive makes, bare: the PAM file and authentication.conf.
void TwoReplacements(benchmark::State& state, bench::Storage storage) {
    bench::PrivateHost host(storage);
    std::string const pam = bench::TypicalPAMFile();
    std::string const record = "remote-authentication-store = \"Active Directory\"\n";
    for (auto _ : state) {
        bench::ReplaceAtomically("/etc/pam.d/system-auth-generic", pam);
        bench::ReplaceAtomically("/etc/ostrel/tslauth/authentication.conf", record);
    }
}
void BM_FloorTwoAtomicReplacementsOnDisk(benchmark::State& state) {
    TwoReplacements(state, bench::Storage::kDisk);
}
BENCHMARK(BM_FloorTwoAtomicReplacementsOnDisk)->UseRealTime()->Unit(benchmark::kMicrosecond);
void BM_FloorTwoAtomicReplacementsOnTmpfs(benchmark::State& state) {
    TwoReplacements(state, bench::Storage::kTmpfs);
}
BENCHMARK(BM_FloorTwoAtomicReplacementsOnTmpfs)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_FloorThreadRoundTrip(benchmark::State& state) {
    for (auto _ : state) bench::ThreadRoundTrip();
}
BENCHMARK(BM_FloorThreadRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_FloorLoadAndUnload(benchmark::State& state) {
    bench::PrivateHost host(bench::Storage::kTmpfs);
    std::string const path = host.InstallPlugin("benchload");
    for (auto _ : state) bench::LoadAndUnload(path);
}
BENCHMARK(BM_FloorLoadAndUnload)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
