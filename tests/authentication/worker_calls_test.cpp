#include <authentication/exceptions.h>
#include <authentication/worker_calls.h>
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "sandbox.h"
#include "what_thrown.h"

using namespace ostrel::authentication;

namespace {

// A worker blocks on the gate until the test opens it.
class Gate {
public:
    void Open() {
        std::lock_guard<std::mutex> hold(mutex);
        open = true;
        changed.notify_all();
    }
    void Pass() {
        std::unique_lock<std::mutex> hold(mutex);
        changed.wait(hold, [this] { return open; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
};

// Waits (boundedly) for something a detached worker does at its very end.
template <class Condition>
bool Eventually(Condition condition) {
    for (int i = 0; i < 2000 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

std::string WaitError(RequestState& state, int seconds) {
    return WhatThrown([&] { state.WaitResult(seconds); });
}

}  // namespace

TEST(RequestStateTest, FinishedCallsAreSeenAtOnceEvenWithoutTime) {
    RequestState ok;
    ok.Done(nullptr);
    EXPECT_EQ("(returned)", WaitError(ok, 0));
    EXPECT_EQ("(returned)", WaitError(ok, -5));

    RequestState failed;
    NoSuchDomainException failure;
    failed.Done(&failure);
    std::string const expected =
        Named(typeid(NoSuchDomainException),
              "Exception 0x0000054b: The specified domain either does not exist or could not be "
              "contacted.");
    EXPECT_EQ(expected, WaitError(failed, 0));
    EXPECT_EQ(expected, WaitError(failed, 0));  // the stored error is kept

    // A later error replaces the stored one; a later success leaves it.
    AccessDeniedException second;
    failed.Done(&second);
    failed.Done(nullptr);
    EXPECT_EQ(Named(typeid(AccessDeniedException), "Exception 0x00000005: Access is denied."),
              WaitError(failed, 0));

    RequestState pending;
    EXPECT_EQ(Named(typeid(ProviderCallTimedOutException), "Provider call timed out."),
              WaitError(pending, 0));
}

TEST(RequestStateTest, WorkerResultsReachTheWaitingThread) {
    boost::shared_ptr<RequestState> state = boost::make_shared<RequestState>();
    boost::shared_ptr<Gate> gate = boost::make_shared<Gate>();
    TslauthThreadUtil::ScheduleThread([state, gate] {
        gate->Pass();
        try {
            throw InvalidKeyException("k");
        } catch (Exception const& e) {
            state->Done(&e);
        }
    });
    gate->Open();
    EXPECT_EQ(Named(typeid(InvalidKeyException),
                    "The specified key 'k' was not found in this configuration"),
              WaitError(*state, 60));

    boost::shared_ptr<RequestState> quick = boost::make_shared<RequestState>();
    TslauthThreadUtil::ScheduleThread([quick] { quick->Done(nullptr); });
    EXPECT_EQ("(returned)", WaitError(*quick, 60));
}

TEST(RequestStateTest, AnAbandonedWorkerKeepsWhatItHoldsUntilItReturns) {
    boost::shared_ptr<RequestState> state = boost::make_shared<RequestState>();
    boost::shared_ptr<std::string> holder = boost::make_shared<std::string>("cache");
    boost::shared_ptr<Gate> gate = boost::make_shared<Gate>();
    boost::weak_ptr<RequestState> watchState = state;
    boost::weak_ptr<std::string> watchHolder = holder;
    TslauthThreadUtil::ScheduleThread([state, holder, gate] {
        gate->Pass();
        *holder = "filled";
        state->Done(nullptr);
    });
    EXPECT_EQ(Named(typeid(ProviderCallTimedOutException), "Provider call timed out."),
              WaitError(*state, 1));
    state.reset();
    holder.reset();
    EXPECT_FALSE(watchState.expired());
    EXPECT_FALSE(watchHolder.expired());
    gate->Open();
    EXPECT_TRUE(Eventually([&] { return watchState.expired() && watchHolder.expired(); }));
}

TEST(RequestStateTest, EscapingExceptionsDoNotEndTheProcess) {
    sandbox::ClearCapturedLog();
    boost::shared_ptr<bool> finished = boost::make_shared<bool>(false);
    boost::weak_ptr<bool> watch = finished;
    TslauthThreadUtil::ScheduleThread([finished] { throw std::runtime_error("escaped"); });
    finished.reset();
    ASSERT_TRUE(Eventually([&] { return watch.expired(); }));
    std::vector<sandbox::LogLine> log = sandbox::CapturedLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(3, log[0].priority);
    EXPECT_EQ("Worker thread ended with an exception: escaped", log[0].text);
}

TEST(ThreadUtil, FailedThreadCreationIsAThreadError) {
    boost::shared_ptr<int> captured = boost::make_shared<int>(1);
    sandbox::FailNextThreadCreation(EAGAIN);
    try {
        TslauthThreadUtil::ScheduleThread([captured] {});
        FAIL();
    } catch (ThreadErrorException const& e) {
        EXPECT_EQ("Thread Error: pthread_create failed. RC=" + std::to_string(EAGAIN),
                  std::string(e.what()));
    }
    // The work's copy was destroyed, releasing what it held.
    EXPECT_EQ(1, captured.use_count());
}
