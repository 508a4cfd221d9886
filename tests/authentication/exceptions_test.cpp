#include <authentication/exceptions.h>
#include <authentication/status_mapping.h>
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <typeindex>

#include "what_thrown.h"

using namespace ostrel::authentication;

// The text callers match: a status class's code and message, a library class's own message.
TEST(Exceptions, MessagesSpotChecks) {
    EXPECT_EQ("Exception 0xffff0000: x", std::string(Exception(0xFFFF0000ul, "x").what()));
    EXPECT_STREQ("plain text, no prefix", Exception("plain text, no prefix").what());
    EXPECT_EQ(0u, Exception("x").GetCode());
    EXPECT_STREQ("The specified key 'it's' was not found in this configuration",
                 InvalidKeyException("it's").what());
    EXPECT_STREQ("The specified Active Directory provider 'p' is invalid: r",
                 InvalidActiveDirectoryProviderException("p", "r").what());
    EXPECT_STREQ("Failed to save file permissions, file permissions may be incorrect: d",
                 FilePermissionError("d").what());
    EXPECT_STREQ("Exception 0x00000007: Unknown exception", UnknownException(7).what());
}

// Every row of the status table raises its class with the status as its code and the row's
// text; 0 is file-not-found (code 2), anything else unknown with its own code.
TEST(Exceptions, EveryStatusRaisesItsClassWithItsCode) {
    struct Row {
        unsigned int status;
        std::type_index type;
        char const* text;
    };
#define X(Name, status, text) Row{status, typeid(Name), text},
    std::vector<Row> rows = {
#include "../../src/authentication/status_table.inc"
    };
#undef X
    rows.push_back(
        {0, typeid(FileNotFoundException), "The system cannot find the file specified."});
    for (unsigned int status : {1u, 1211u, 0xFFFFFFFFu, 0x80090325u}) {
        rows.push_back({status, typeid(UnknownException), "Unknown exception"});
    }
    for (Row const& row : rows) {
        try {
            ThrowMappedException(row.status);
            ADD_FAILURE() << row.status;
        } catch (Exception const& e) {
            char prefix[32];
            std::snprintf(prefix, sizeof prefix, "Exception 0x%08x: ", row.status ? row.status : 2);
            EXPECT_EQ(row.type, std::type_index(typeid(e))) << row.status;
            EXPECT_EQ(row.status ? row.status : 2u, e.GetCode()) << row.status;
            EXPECT_EQ(std::string(prefix) + row.text, e.what()) << row.status;
        }
    }
    EXPECT_STREQ("Exception 0x00000a84: This machine is not currently joined to a domain.",
                 SetupNotJoinedException().what());
}

// A worker's failure crosses to the waiting thread as a clone that rethrows its own class.
TEST(Exceptions, ClonesRethrowTheMostDerivedClass) {
    std::unique_ptr<Exception> carried;
    std::thread worker([&carried] {
        try {
            ThrowMappedException(1355);
        } catch (Exception const& e) {
            carried.reset(e.Clone());
        }
    });
    worker.join();
    EXPECT_EQ(Named(typeid(NoSuchDomainException),
                    "Exception 0x0000054b: The specified domain either does not exist or could "
                    "not be contacted."),
              WhatThrown([&] { carried->Throw(); }));
    std::unique_ptr<Exception> key(InvalidKeyException("k").Clone());
    EXPECT_EQ(Named(typeid(InvalidKeyException),
                    "The specified key 'k' was not found in this configuration"),
              WhatThrown([&] { key->Throw(); }));
    std::unique_ptr<Exception> unknown(UnknownException(0xabcdef01ul).Clone());
    EXPECT_EQ(Named(typeid(UnknownException), "Exception 0xabcdef01: Unknown exception"),
              WhatThrown([&] { unknown->Throw(); }));
    EXPECT_EQ(0xabcdef01ul, unknown->GetCode());
    std::unique_ptr<Exception> root(Exception("root").Clone());
    EXPECT_EQ(typeid(Exception), typeid(*root));
}
