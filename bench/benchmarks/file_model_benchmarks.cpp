// The file models on a tmpfs: what the library itself costs, without the disk.
#include <authentication/configuration.h>
#include <authentication/qap_thumbprint_store.h>
#include <benchmark/benchmark.h>

#include "bench_environment.h"
#include "generated_files.h"
#include "library_cycles.h"

using ostrel::authentication::Configuration;
using ostrel::authentication::QAPThumbprintStore;

namespace {

// Argument 0 stands for the typical file, any other for a generated file of that size.
std::string PAMFile(benchmark::State const& state) {
    return state.range(0) == 0 ? bench::TypicalPAMFile()
                               : bench::LargePAMFile(static_cast<std::size_t>(state.range(0)));
}

std::string NSSFile(benchmark::State const& state) {
    return state.range(0) == 0 ? bench::TypicalNSSFile()
                               : bench::LargeNSSFile(static_cast<std::size_t>(state.range(0)));
}

// A fresh file on the tmpfs, and the path the cycles write their result to.
struct Files {
    Files(std::string const& name, std::string const& content)
        : input(bench::MakeTmpfsDirectory("files") + "/" + name), output(input + ".new") {
        bench::WriteFile(input, content);
        lines = bench::CountLines(content);
    }
    std::string input;
    std::string output;
    std::size_t lines;
};

void CountLines(benchmark::State& state, std::size_t lines) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines));
    state.counters["lines"] = static_cast<double>(lines);
}

void BM_PAMRead(benchmark::State& state) {
    Files files("system-auth", PAMFile(state));
    for (auto _ : state) benchmark::DoNotOptimize(bench::ReadPAMPolicy(files.input));
    CountLines(state, files.lines);
}
BENCHMARK(BM_PAMRead)->Arg(0)->Arg(10000);

void BM_PAMWrite(benchmark::State& state) {
    Files files("system-auth", PAMFile(state));
    SystemConfiguration::PAMPolicy const policy = bench::ReadPAMPolicy(files.input);
    for (auto _ : state) bench::WritePAMPolicy(files.output, policy);
    CountLines(state, files.lines);
}
BENCHMARK(BM_PAMWrite)->Arg(0)->Arg(10000);

// Read, the activation's edit, atomic write.
void PAMCycle(benchmark::State& state) {
    Files files("system-auth", PAMFile(state));
    for (auto _ : state) {
        SystemConfiguration::PAMPolicy policy = bench::ReadPAMPolicy(files.input);
        bench::AddProviderEntry(policy);
        bench::WritePAMPolicy(files.output, policy);
    }
    CountLines(state, files.lines);
    state.SetComplexityN(state.range(0));
}
void BM_PAMCycle(benchmark::State& state) {
    PAMCycle(state);
}
BENCHMARK(BM_PAMCycle)->Arg(0)->Arg(10000);
void BM_PAMCycleGrowth(benchmark::State& state) {
    PAMCycle(state);
}
BENCHMARK(BM_PAMCycleGrowth)->RangeMultiplier(2)->Range(1250, 10000)->Complexity(benchmark::oN);

void BM_NSSRead(benchmark::State& state) {
    Files files("nsswitch.conf", NSSFile(state));
    for (auto _ : state) benchmark::DoNotOptimize(bench::ReadNSSConfiguration(files.input));
    CountLines(state, files.lines);
}
BENCHMARK(BM_NSSRead)->Arg(0)->Arg(5000);

void BM_NSSWrite(benchmark::State& state) {
    Files files("nsswitch.conf", NSSFile(state));
    SystemConfiguration::NSSConfiguration const configuration =
        bench::ReadNSSConfiguration(files.input);
    for (auto _ : state) bench::WriteNSSConfiguration(files.output, configuration);
    CountLines(state, files.lines);
}
BENCHMARK(BM_NSSWrite)->Arg(0)->Arg(5000);

void NSSCycle(benchmark::State& state) {
    Files files("nsswitch.conf", NSSFile(state));
    for (auto _ : state) {
        SystemConfiguration::NSSConfiguration configuration =
            bench::ReadNSSConfiguration(files.input);
        bench::AddProviderService(configuration);
        bench::WriteNSSConfiguration(files.output, configuration);
    }
    CountLines(state, files.lines);
    state.SetComplexityN(state.range(0));
}
void BM_NSSCycle(benchmark::State& state) {
    NSSCycle(state);
}
BENCHMARK(BM_NSSCycle)->Arg(0)->Arg(5000);
void BM_NSSCycleGrowth(benchmark::State& state) {
    NSSCycle(state);
}
BENCHMARK(BM_NSSCycleGrowth)->RangeMultiplier(2)->Range(625, 5000)->Complexity(benchmark::oN);

void BM_ConfigurationLoad(benchmark::State& state) {
    Files files("keys.conf", bench::KeyValueFile(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        Configuration configuration(files.input);
        benchmark::DoNotOptimize(configuration.size());
    }
    CountLines(state, files.lines);
}
BENCHMARK(BM_ConfigurationLoad)->Arg(5)->Arg(10000);

void BM_ConfigurationWrite(benchmark::State& state) {
    Files files("keys.conf", bench::KeyValueFile(static_cast<std::size_t>(state.range(0))));
    Configuration const configuration(files.input);
    for (auto _ : state) configuration.Write();
    CountLines(state, files.lines);
}
BENCHMARK(BM_ConfigurationWrite)->Arg(5)->Arg(10000);

// One import as the certificate import does it: the store built, one thumbprint replaced, the
// file written. Alternating thumbprints make every import write.
void BM_ImportThumbprint(benchmark::State& state) {
    Files files("qapservers.conf", bench::ThumbprintFile(static_cast<std::size_t>(state.range(0))));
    std::string const thumbprints[] = {bench::NewThumbprint(1), bench::NewThumbprint(2)};
    unsigned turn = 0;
    for (auto _ : state) {
        QAPThumbprintStore store(files.input);
        store.ImportThumbprint(thumbprints[++turn % 2], "10.0.19.136");
    }
    CountLines(state, files.lines);
}
BENCHMARK(BM_ImportThumbprint)->Arg(10000);

}  // namespace
