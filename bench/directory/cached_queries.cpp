// Run on a joined member while its DC is frozen: how long the first membership queries of a
// process take (each waits for its time-out), and how long later ones take while their
// workers are still blocked on the DC (answered from the cache).
//
//   directory_cached_queries TIMEOUT [CALLS]
#include <authentication/authentication.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

using namespace ostrel::authentication;
using Clock = std::chrono::steady_clock;

namespace {

template <class Query>
double Microseconds(Query query) {
    Clock::time_point const start = Clock::now();
    query();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void Report(char const* name, std::vector<double> times) {
    std::sort(times.begin(), times.end());
    std::printf("%-34s median %10.1f us   max %10.1f us   (%zu calls)\n", name,
                times[times.size() / 2], times.back(), times.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: directory_cached_queries TIMEOUT [CALLS]\n");
        return 2;
    }
    int const timeout = std::atoi(argv[1]);
    int const calls = argc > 2 ? std::atoi(argv[2]) : 1000;
    ActiveDirectoryStore store(timeout);
    std::printf("first configuration query:  %10.1f ms\n",
                Microseconds([&] { delete store.GetStoreConfiguration(); }) / 1000);
    std::printf("first trust-state query:    %10.1f ms\n",
                Microseconds([&] { store.GetDomainTrustState(); }) / 1000);
    std::vector<double> configuration, trustState;
    for (int i = 0; i < calls; ++i) {
        configuration.push_back(Microseconds([&] { delete store.GetStoreConfiguration(); }));
        trustState.push_back(Microseconds([&] { store.GetDomainTrustState(); }));
    }
    Report("later configuration queries", configuration);
    Report("later trust-state queries", trustState);
    // Workers may still be blocked on the DC: leave without unloading anything under them.
    std::fflush(stdout);
    std::_Exit(0);
}
