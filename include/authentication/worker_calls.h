#ifndef AUTHENTICATION_WORKER_CALLS_H
#define AUTHENTICATION_WORKER_CALLS_H

#include <authentication/export.h>
#include <pthread.h>

#include <functional>

namespace ostrel {
namespace authentication {

class Exception;

// Completion record of one call run on a worker thread: the worker reports with Done, the
// caller waits with WaitResult. Shared between both through a shared pointer, so a worker the
// caller gave up on can still report.
// Safe to call from any thread: its own mutex and condition variable guard the record.
class TSLAUTH_EXPORT RequestState {
public:
    RequestState();
    ~RequestState();

    RequestState(RequestState const&) = delete;
    RequestState& operator=(RequestState const&) = delete;

    // Marks the call finished; a non-null error is cloned and kept (replacing an earlier one).
    void Done(Exception const* error);

    // Returns once Done was called, rethrows the worker's exception with its own class, or
    // throws ProviderCallTimedOutException when the seconds pass first. The deadline runs on
    // a monotonic clock, so setting the wall clock neither stretches nor shortens the wait.
    void WaitResult(int seconds);

private:
    bool done;
    Exception* error;
    pthread_mutex_t lock;
    pthread_cond_t signal;
};

// Safe to call from any thread; the new thread owns its copy of `work` and destroys it.
class TSLAUTH_EXPORT TslauthThreadUtil {
public:
    // Runs work once on a new detached thread. Throws ThreadErrorException when the thread
    // cannot be created.
    static void ScheduleThread(std::function<void()> work);
};

}  // namespace authentication
}  // namespace ostrel

#endif
