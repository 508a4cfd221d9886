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

std::string Wait(RequestState& state, int seconds) {
    return WhatThrown([&] { state.WaitResult(seconds); });
}

// Waits (boundedly) for what a detached worker releases at its very end.
bool Expires(boost::weak_ptr<void> const& watch) {
    for (int i = 0; i < 2000 && !watch.expired(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return watch.expired();
}

}  // namespace

// A finished call is seen at once, even without time; a later error replaces the stored one,
// a later success leaves it; a worker the caller gave up on keeps what it holds until it
// returns.
TEST(RequestStateTest, ResultsAndAbandonedWorkers) {
    RequestState failed;
    NoSuchDomainException first;
    AccessDeniedException second;
    failed.Done(&first);
    failed.Done(&second);
    failed.Done(nullptr);
    EXPECT_EQ(Named(typeid(AccessDeniedException), "Exception 0x00000005: Access is denied."),
              Wait(failed, 0));
    RequestState ok;
    ok.Done(nullptr);
    EXPECT_EQ("(returned)", Wait(ok, -5));

    boost::shared_ptr<RequestState> state = boost::make_shared<RequestState>();
    boost::shared_ptr<std::string> holder = boost::make_shared<std::string>("cache");
    auto gate = std::make_shared<std::promise<void>>();
    std::shared_future<void> opened = gate->get_future().share();
    boost::weak_ptr<void> watchState = state, watchHolder = holder;
    TslauthThreadUtil::ScheduleThread([state, holder, opened] {
        opened.wait();
        state->Done(nullptr);
    });
    EXPECT_EQ(Named(typeid(ProviderCallTimedOutException), "Provider call timed out."),
              Wait(*state, 1));
    state.reset();
    holder.reset();
    EXPECT_FALSE(watchState.expired() || watchHolder.expired());
    gate->set_value();
    EXPECT_TRUE(Expires(watchState) && Expires(watchHolder));
}

// An exception escaping a worker is logged, not the end of the process; a thread that cannot
// start is a thread error and releases what the work held.
TEST(ThreadUtil, EscapingExceptionsAndFailedThreadCreation) {
    boost::shared_ptr<bool> finished = boost::make_shared<bool>(false);
    boost::weak_ptr<void> watch = finished;
    TslauthThreadUtil::ScheduleThread([finished] { throw std::runtime_error("escaped"); });
    finished.reset();
    ASSERT_TRUE(Expires(watch));
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
