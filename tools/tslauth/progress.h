#ifndef TOOLS_TSLAUTH_PROGRESS_H
#define TOOLS_TSLAUTH_PROGRESS_H

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tslauth {

// While it lives, and only when standard error is a terminal, rewrites one line on standard
// error every second: "<what>... N s elapsed". The line is cleared at the end.
class ElapsedProgress {
public:
    explicit ElapsedProgress(std::string const& what);
    ~ElapsedProgress();

    ElapsedProgress(ElapsedProgress const&) = delete;
    ElapsedProgress& operator=(ElapsedProgress const&) = delete;

private:
    void Run();

    std::string what;
    std::mutex lock;
    std::condition_variable wake;
    bool done = false;
    std::thread thread;
};

}  // namespace tslauth

#endif
