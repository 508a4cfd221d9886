#ifndef BENCH_SUPPORT_SAMPLES_H
#define BENCH_SUPPORT_SAMPLES_H

// Timing for the comparison run: many samples per case, reported as median and tail, so
// that the noise of a shared machine shows as spread instead of moving the figure.

#include <cstddef>
#include <functional>
#include <vector>

namespace bench {

// Nanoseconds on the monotonic clock.
double Now();
// Nanoseconds of processor time the calling thread has used.
double ThreadTime();

struct Summary {
    std::size_t count = 0;
    double median = 0;  // nanoseconds per call
    double p99 = 0;
    double min = 0;
    double max = 0;
};

Summary Summarize(std::vector<double> values);

struct SamplePlan {
    std::size_t warmup = 3;      // untimed calls first
    std::size_t samples = 200;   // at most this many samples
    std::size_t batch = 1;       // calls per sample; the sample is their mean
    double budgetSeconds = 2.0;  // stop sampling after this long ...
    std::size_t minSamples = 3;  // ... once this many samples are in
    // Times the calls in processor time of the calling thread instead of elapsed time: what
    // the work costs, without the waits of a machine whose processors are shared.
    bool threadTime = false;
};

// Per-call times of `call`, sample by sample. `prepare`, when given, runs untimed before
// each sample.
std::vector<double> Sample(SamplePlan const& plan, std::function<void()> const& call,
                           std::function<void()> const& prepare = nullptr);

// Samples of several calls taken in turn, so that all meet the same noise of the machine; one
// vector of samples per call, in the calls' order. Each call has its own `prepare` (or none).
struct Turn {
    std::function<void()> call;
    std::function<void()> prepare;
};
std::vector<std::vector<double>> SampleInTurn(SamplePlan const& plan,
                                              std::vector<Turn> const& turns);

// Samples of two calls taken in turn.
struct PairedSamples {
    std::vector<double> first;
    std::vector<double> second;
};
PairedSamples SampleAlternately(SamplePlan const& plan, std::function<void()> const& first,
                                std::function<void()> const& second,
                                std::function<void()> const& prepareFirst = nullptr,
                                std::function<void()> const& prepareSecond = nullptr);

}  // namespace bench

#endif
