#ifndef TOOLS_TSLAUTH_PROGRESS_H
#define TOOLS_TSLAUTH_PROGRESS_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tslauth {

// While it lives, and only when standard error is a terminal, rewrites one line on standard
// error every second: "<what>... N s elapsed", and while a join waits to try again, which
// attempt comes next. The line is cleared at the end.
class ElapsedProgress {
public:
    explicit ElapsedProgress(std::string const& what);
    ~ElapsedProgress();

    // Until the next call, the line also says "attempt NEXT of ATTEMPTS, retrying in N s",
    // counting down from `seconds`. Without a terminal one line says so once.
    void Retrying(int next, int attempts, unsigned seconds);

    ElapsedProgress(ElapsedProgress const&) = delete;
    ElapsedProgress& operator=(ElapsedProgress const&) = delete;

private:
    void Run();

    std::string what;
    bool terminal;
    int nextAttempt = 0;
    int attempts = 0;
    std::chrono::steady_clock::time_point retryAt;
    std::mutex lock;
    std::condition_variable wake;
    bool done = false;
    std::thread thread;
};

}  // namespace tslauth

#endif
