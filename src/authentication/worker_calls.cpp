#include <authentication/exceptions.h>
#include <authentication/worker_calls.h>
#include <cxxabi.h>
#include <syslog.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <string>

#include "locked.h"

namespace ostrel {
namespace authentication {

namespace {

void* RunWork(void* argument) {
    std::function<void()>* work = static_cast<std::function<void()>*>(argument);
    try {
        (*work)();
    } catch (abi::__forced_unwind const&) {
        delete work;
        throw;
    } catch (std::exception const& e) {
        // An exception leaving a thread would end the whole host process.
        syslog(LOG_ERR, "Worker thread ended with an exception: %s", e.what());
    } catch (...) {
        syslog(LOG_ERR, "Worker thread ended with an exception");
    }
    delete work;
    return nullptr;
}

}  // namespace

RequestState::RequestState() : done(false), error(nullptr) {
    pthread_mutex_init(&lock, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&signal, &attributes);
    pthread_condattr_destroy(&attributes);
}

RequestState::~RequestState() {
    pthread_cond_destroy(&signal);
    pthread_mutex_destroy(&lock);
    delete error;
}

void RequestState::Done(Exception const* failure) {
    // Cloned before locking, so that running out of memory cannot leave the lock held.
    Exception* clone = failure != nullptr ? failure->Clone() : nullptr;
    Locked hold(lock);
    done = true;
    if (clone != nullptr && clone != error) {
        delete error;
        error = clone;
    }
    pthread_cond_signal(&signal);
}

void RequestState::WaitResult(int seconds) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    if (seconds > 0) {
        deadline.tv_sec =
            deadline.tv_sec > LONG_MAX - seconds ? LONG_MAX : deadline.tv_sec + seconds;
    }
    pthread_mutex_lock(&lock);
    for (;;) {
        if (done) {
            Exception* failure = error;
            pthread_mutex_unlock(&lock);
            // The stored clone stays owned by this record; Throw raises a copy of it.
            if (failure != nullptr) failure->Throw();
            return;
        }
        int rc = pthread_cond_timedwait(&signal, &lock, &deadline);
        if (rc == ETIMEDOUT && !done) {
            pthread_mutex_unlock(&lock);
            throw ProviderCallTimedOutException();
        }
        if (rc != 0 && rc != ETIMEDOUT) {
            pthread_mutex_unlock(&lock);
            throw ThreadErrorException("pthread_cond_timedwait failed. RC=" + std::to_string(rc));
        }
    }
}

void TslauthThreadUtil::ScheduleThread(std::function<void()> work) {
    std::function<void()>* copy = new std::function<void()>(work);
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, &RunWork, copy);
    if (rc != 0) {
        delete copy;
        throw ThreadErrorException("pthread_create failed. RC=" + std::to_string(rc));
    }
    pthread_detach(thread);
}

}  // namespace authentication
}  // namespace ostrel
