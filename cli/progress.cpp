#include "progress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace tslauth {

ElapsedProgress::ElapsedProgress(std::string const& what)
    : what(what), terminal(isatty(STDERR_FILENO) != 0) {
    if (terminal) thread = std::thread(&ElapsedProgress::Run, this);
}

void ElapsedProgress::Retrying(int next, int total, unsigned seconds) {
    if (!terminal) {
        std::fprintf(stderr,
                     "tslauth: attempt %d of %d failed; attempt %d of %d, retrying in %u s\n",
                     next - 1, total, next, total, seconds);
        std::fflush(stderr);
        return;
    }
    std::lock_guard<std::mutex> guard(lock);
    nextAttempt = next;
    attempts = total;
    retryAt = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
}

ElapsedProgress::~ElapsedProgress() {
    if (!thread.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    wake.notify_all();
    thread.join();
}

void ElapsedProgress::Run() {
    auto const start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> guard(lock);
    bool shown = false;
    while (!wake.wait_for(guard, std::chrono::seconds(1), [this] { return done; })) {
        long const seconds = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(
                                                   std::chrono::steady_clock::now() - start)
                                                   .count());
        std::fprintf(stderr, "\r\033[K%s... %ld s elapsed", what.c_str(), seconds);
        auto const now = std::chrono::steady_clock::now();
        if (nextAttempt != 0 && now < retryAt) {
            long const left =
                static_cast<long>(std::chrono::ceil<std::chrono::seconds>(retryAt - now).count());
            std::fprintf(stderr, " (attempt %d of %d, retrying in %ld s)", nextAttempt, attempts,
                         left);
        }
        std::fflush(stderr);
        shown = true;
    }
    if (shown) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
}

}  // namespace tslauth
