#include <authentication/exceptions.h>
#include <authentication/worker_calls.h>
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <chrono>
#include <future>
#include <thread>

#include "sandbox.h"
#include "what_thrown.h"

using namespace ostrel::authentication;

namespace {

// Waits (boundedly) for something a detached worker does at its very end.
template <class Condition>
bool Eventually(Condition condition) {
    for (int i = 0; i < 2000 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

std::string Wait(RequestState& state, int seconds) {
    return WhatThrown([&] { state.WaitResult(seconds); });
}

std::string const kTimedOut =
    Named(typeid(ProviderCallTimedOutException), "Provider call timed out.");

}  // namespace

// A finished call is seen at once even without time; a later error replaces the stored one,
// a later success leaves it.
TEST(RequestStateTest, ResultsReachTheWaitingThread) {
    RequestState ok;
    ok.Done(nullptr);
    EXPECT_EQ("(returned)", Wait(ok, 0));
    EXPECT_EQ("(returned)", Wait(ok, -5));
    RequestState failed;
    NoSuchDomainException failure;
    failed.Done(&failure);
    std::string const noDomain = Named(typeid(NoSuchDomainException), failure.what());
    EXPECT_EQ(noDomain, Wait(failed, 0));
    EXPECT_EQ(noDomain, Wait(failed, 0));
    AccessDeniedException second;
    failed.Done(&second);
    failed.Done(nullptr);
    EXPECT_EQ(Named(typeid(AccessDeniedException), "Exception 0x00000005: Access is denied."),
              Wait(failed, 0));
    RequestState pending;
    EXPECT_EQ(kTimedOut, Wait(pending, 0));

    boost::shared_ptr<RequestState> state = boost::make_shared<RequestState>();
    TslauthThreadUtil::ScheduleThread([state] {
        try {
            throw InvalidKeyException("k");
        } catch (Exception const& e) {
            state->Done(&e);
        }
    });
    EXPECT_EQ(Named(typeid(InvalidKeyException),
                    "The specified key 'k' was not found in this configuration"),
              Wait(*state, 60));
}

// After the time-out the worker keeps what it holds until it returns.
TEST(RequestStateTest, AnAbandonedWorkerKeepsWhatItHoldsUntilItReturns) {
    boost::shared_ptr<RequestState> state = boost::make_shared<RequestState>();
    boost::shared_ptr<std::string> holder = boost::make_shared<std::string>("cache");
    auto gate = std::make_shared<std::promise<void>>();
    std::shared_future<void> opened = gate->get_future().share();
    boost::weak_ptr<RequestState> watchState = state;
    boost::weak_ptr<std::string> watchHolder = holder;
    TslauthThreadUtil::ScheduleThread([state, holder, opened] {
        opened.wait();
        *holder = "filled";
        state->Done(nullptr);
    });
    EXPECT_EQ(kTimedOut, Wait(*state, 1));
    state.reset();
    holder.reset();
    EXPECT_FALSE(watchState.expired());
    EXPECT_FALSE(watchHolder.expired());
    gate->set_value();
    EXPECT_TRUE(Eventually([&] { return watchState.expired() && watchHolder.expired(); }));
}

// An exception escaping a worker is logged, not the end of the process; a thread that cannot
// start is a thread error and releases what the work held.
TEST(ThreadUtil, EscapingExceptionsAndFailedThreadCreation) {
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

    boost::shared_ptr<int> captured = boost::make_shared<int>(1);
    sandbox::FailNextThreadCreation(EAGAIN);
    EXPECT_EQ(Named(typeid(ThreadErrorException),
                    "Thread Error: pthread_create failed. RC=" + std::to_string(EAGAIN)),
              WhatThrown([&] { TslauthThreadUtil::ScheduleThread([captured] {}); }));
    EXPECT_EQ(1, captured.use_count());
}
