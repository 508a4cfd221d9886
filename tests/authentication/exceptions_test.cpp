#include <authentication/exceptions.h>
#include <authentication/status_mapping.h>
#include <authentication/worker_calls.h>
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <typeindex>

#include "sandbox.h"
#include "what_thrown.h"

using namespace ostrel::authentication;

// The text callers match: a status class's code and message, a library class's own message.
TEST(Exceptions, MessagesSpotChecks) {
    EXPECT_EQ("Exception 0xffff0000: x", std::string(Exception(0xFFFF0000ul, "x").what()));
    EXPECT_STREQ("The specified key 'it's' was not found in this configuration",
                 InvalidKeyException("it's").what());
    EXPECT_STREQ("The specified Active Directory provider 'p' is invalid: r",
                 InvalidActiveDirectoryProviderException("p", "r").what());
    EXPECT_STREQ("Failed to save file permissions, file permissions may be incorrect: d",
                 FilePermissionError("d").what());
    EXPECT_STREQ("Exception 0x00000007: Unknown exception", UnknownException(7).what());
    EXPECT_STREQ("Exception 0x00000a84: This machine is not currently joined to a domain.",
                 SetupNotJoinedException().what());
}

// Each status raises its row's class, code = status; 0 is file-not-found (2); others unknown.
TEST(Exceptions, EveryStatusRaisesItsClassWithItsCode) {
    std::vector<std::pair<unsigned, std::type_index>> const rows = {
#define X(Name, status, text) {status, typeid(Name)},
#include "../../src/authentication/status_table.inc"
#undef X
        {0, typeid(FileNotFoundException)},
        {1, typeid(UnknownException)},
        {0xFFFFFFFFu, typeid(UnknownException)},
    };
    for (auto const& row : rows) {
        try {
            ThrowMappedException(row.first);
            ADD_FAILURE() << row.first;
        } catch (Exception const& e) {
            EXPECT_TRUE(e.GetCode() == (row.first ? row.first : 2u) &&
                        std::type_index(typeid(e)) == row.second)
                << row.first << ": " << e.what();
        }
    }
}

// A thread that cannot start is a thread error and releases what the work held.
TEST(ThreadUtil, FailedThreadCreation) {
    boost::shared_ptr<int> captured = boost::make_shared<int>(1);
    sandbox::FailNextThreadCreation(EAGAIN);
    EXPECT_EQ(Named(typeid(ThreadErrorException),
                    "Thread Error: pthread_create failed. RC=" + std::to_string(EAGAIN)),
              WhatThrown([&] { TslauthThreadUtil::ScheduleThread([captured] {}); }));
    EXPECT_EQ(1, captured.use_count());
}
