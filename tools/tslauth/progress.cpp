#include "progress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace tslauth {

ElapsedProgress::ElapsedProgress(std::string const& what) : what(what) {
    if (isatty(STDERR_FILENO)) thread = std::thread(&ElapsedProgress::Run, this);
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
        std::fprintf(stderr, "\r%s... %ld s elapsed", what.c_str(), seconds);
        std::fflush(stderr);
        shown = true;
    }
    if (shown) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
}

}  // namespace tslauth
