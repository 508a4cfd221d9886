#include "samples.h"

#include <time.h>

#include <algorithm>
#include <cmath>

namespace bench {

double Now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

double ThreadTime() {
    struct timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

Summary Summarize(std::vector<double> values) {
    Summary summary;
    if (values.empty()) return summary;
    std::sort(values.begin(), values.end());
    std::size_t const n = values.size();
    summary.count = n;
    summary.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    // Nearest rank: the smallest value that at least 99 % of the samples do not exceed.
    std::size_t rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
    summary.p99 = values[std::max<std::size_t>(rank, 1) - 1];
    summary.min = values.front();
    summary.max = values.back();
    return summary;
}

std::vector<double> Sample(SamplePlan const& plan, std::function<void()> const& call,
                           std::function<void()> const& prepare) {
    for (std::size_t i = 0; i < plan.warmup; ++i) {
        if (prepare) prepare();
        call();
    }
    std::vector<double> samples;
    double const start = Now();
    double const budget = plan.budgetSeconds * 1e9;
    while (samples.size() < plan.samples &&
           (samples.size() < plan.minSamples || Now() - start < budget)) {
        if (prepare) prepare();
        double (*const clock)() = plan.threadTime ? &ThreadTime : &Now;
        double const begin = clock();
        for (std::size_t i = 0; i < plan.batch; ++i) call();
        samples.push_back((clock() - begin) / static_cast<double>(plan.batch));
    }
    return samples;
}

std::vector<std::vector<double>> SampleInTurn(SamplePlan const& plan,
                                              std::vector<Turn> const& turns) {
    SamplePlan one = plan;
    one.samples = 1;
    one.minSamples = 1;
    one.budgetSeconds = 0;
    std::vector<std::vector<double>> samples(turns.size());
    double const start = Now();
    double const budget = plan.budgetSeconds * 1e9;
    while (samples[0].size() < plan.samples &&
           (samples[0].size() < plan.minSamples || Now() - start < budget)) {
        for (std::size_t i = 0; i < turns.size(); ++i) {
            std::vector<double> const taken = Sample(one, turns[i].call, turns[i].prepare);
            samples[i].insert(samples[i].end(), taken.begin(), taken.end());
        }
        one.warmup = 0;
    }
    return samples;
}

PairedSamples SampleAlternately(SamplePlan const& plan, std::function<void()> const& first,
                                std::function<void()> const& second,
                                std::function<void()> const& prepareFirst,
                                std::function<void()> const& prepareSecond) {
    std::vector<std::vector<double>> samples =
        SampleInTurn(plan, {Turn{first, prepareFirst}, Turn{second, prepareSecond}});
    PairedSamples paired;
    paired.first.swap(samples[0]);
    paired.second.swap(samples[1]);
    return paired;
}

}  // namespace bench
