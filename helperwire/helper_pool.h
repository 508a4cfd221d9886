#ifndef HELPERWIRE_HELPER_POOL_H
#define HELPERWIRE_HELPER_POOL_H

// Long-lived helpers (`tslauth-samba-helper --serve`) for a service that provisions accounts
// one after another: a helper started for each would log on to the DC afresh each time, which
// costs the DC about a third of what the account itself does. Each helper serves one request
// at a time; one that answers a failure, misses its deadline or ends is never used again.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "wire.h"

namespace sambaprovider {

class HelperPool {
public:
    // Keeps at most `idleLimit` helpers waiting for a request, each for at most `idleSeconds`
    // (a thread of its own ends them then).
    HelperPool(std::string path, std::size_t idleLimit, int idleSeconds = 60);
    ~HelperPool();
    HelperPool(HelperPool const&) = delete;
    HelperPool& operator=(HelperPool const&) = delete;

    // As RunHelperAt: the helper's status with its answer, 10060 when it did not answer within
    // the deadline (it is then killed), 1359 when none could run or it answered nothing.
    uint32_t Run(Fields const& request, Fields& answer, int deadlineSeconds);

private:
    struct Helper {
        pid_t pid = -1;
        int channel = -1;
        std::chrono::steady_clock::time_point idleSince;
    };

    bool Start(Helper& helper, Fields& answer);
    // Kills it (it may be waiting or hung; nothing it does later matters) and reaps it.
    static void End(Helper& helper);
    // A waiting helper that is still there and not too long idle, if any.
    bool TakeWaiting(Helper& helper);
    void PutBack(Helper& helper);
    // Moves the waiting helpers that ended or waited their time into `gone`; under mutex_.
    void CollectGone(std::vector<Helper>& gone);
    // Ends waiting helpers once they waited their time, so that an idle service holds no DC
    // connections.
    void Reap();

    std::string const path_;
    std::size_t const idleLimit_;
    std::chrono::seconds const idleTime_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::vector<Helper> waiting_;
    std::thread reaper_;
};

}  // namespace sambaprovider

#endif
