#include <authentication/exceptions.h>
#include <authentication/status_mapping.h>
#include <authentication/worker_calls.h>
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <memory>
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

// Each status raises its row's class, code = status, with its kind of failure (which the
// command's exit status follows); 0 is file-not-found (2); others unknown. The rows are
// written out here, so that a wrong row of the library's table fails.
TEST(Exceptions, EveryStatusRaisesItsClassWithItsCodeAndCategory) {
    using C = ErrorCategory;
    struct Row {
        unsigned status;
        std::type_index type;
        ErrorCategory category;
    } const rows[] = {
        {2, typeid(FileNotFoundException), C::kIO},
        {5, typeid(AccessDeniedException), C::kDirectory},
        {8, typeid(NotEnoughMemoryException), C::kDirectory},
        {31, typeid(GeneralFailureException), C::kDirectory},
        {86, typeid(InvalidPasswordException), C::kCredentials},
        {87, typeid(InvalidParameterException), C::kInvalidInput},
        {120, typeid(CallNotImplementedException), C::kDirectory},
        {121, typeid(SemaphoreTimeoutException), C::kTimedOut},
        {267, typeid(DirectoryException), C::kDirectory},
        {609, typeid(BadDLLEntryPointException), C::kDirectory},
        {1002, typeid(InvalidMessageException), C::kDirectory},
        {1060, typeid(ServiceDoesNotExistException), C::kDirectory},
        {1061, typeid(ServiceCannotAcceptControlException), C::kDirectory},
        {1062, typeid(ServiceNotActiveException), C::kDirectory},
        {1064, typeid(ExceptionInServiceException), C::kDirectory},
        {1067, typeid(ProcessAbortedException), C::kDirectory},
        {1201, typeid(ConnectionUnavailableException), C::kUnreachable},
        {1209, typeid(InvalidGroupNameException), C::kDirectory},
        {1210, typeid(InvalidComputerNameException), C::kInvalidInput},
        {1212, typeid(InvalidDomainNameException), C::kInvalidInput},
        {1213, typeid(InvalidServiceNameException), C::kDirectory},
        {1214, typeid(InvalidNetNameException), C::kDirectory},
        {1215, typeid(InvalidShareNameException), C::kDirectory},
        {1216, typeid(InvalidPasswordNameException), C::kDirectory},
        {1222, typeid(NoNetworkException), C::kUnreachable},
        {1225, typeid(ConnectionRefusedException), C::kUnreachable},
        {1229, typeid(ConnectionInvalidException), C::kUnreachable},
        {1311, typeid(NoLogonServersException), C::kUnreachable},
        {1315, typeid(InvalidAccountNameException), C::kInvalidInput},
        {1316, typeid(AccountExistsException), C::kMembership},
        {1317, typeid(NoSuchUserException), C::kDirectory},
        {1324, typeid(IllFormedPasswordException), C::kDirectory},
        {1325, typeid(PasswordRestrictionException), C::kDirectory},
        {1326, typeid(LogonFailureException), C::kCredentials},
        {1330, typeid(PasswordExpiredException), C::kCredentials},
        {1331, typeid(AccountDisabledException), C::kCredentials},
        {1355, typeid(NoSuchDomainException), C::kUnreachable},
        {1359, typeid(InternalErrorException), C::kDirectory},
        {1398, typeid(TimeSkewException), C::kDirectory},
        {1575, typeid(NoSuchGroupException), C::kDirectory},
        {1703, typeid(RPCSProtocolSequenceNotSupportedException), C::kDirectory},
        {1786, typeid(NoTrustLSASecretException), C::kMembership},
        {1787, typeid(NoTrustSAMAccountException), C::kMembership},
        {1791, typeid(RPCSCallInProgressException), C::kDirectory},
        {1810, typeid(DomainTrustInconsistentException), C::kDirectory},
        {1909, typeid(AccountLockedOutException), C::kCredentials},
        {2138, typeid(WkstaNotStartedException), C::kDirectory},
        {2453, typeid(DomainControllerNotFoundException), C::kUnreachable},
        {2691, typeid(SetupAlreadyJoinedException), C::kMembership},
        {2692, typeid(SetupNotJoinedException), C::kMembership},
        {2694, typeid(DefaultJoinRequiredException), C::kDirectory},
        {2695, typeid(InvalidWorkgroupNameException), C::kDirectory},
        {10060, typeid(WSATimedOutException), C::kTimedOut},
        {0, typeid(FileNotFoundException), C::kIO},
        {1, typeid(UnknownException), C::kDirectory},
        {0xFFFFFFFFu, typeid(UnknownException), C::kDirectory},
    };
    for (Row const& row : rows) {
        try {
            ThrowMappedException(row.status);
            ADD_FAILURE() << row.status;
        } catch (Exception const& e) {
            EXPECT_TRUE(e.GetCode() == (row.status ? row.status : 2u) &&
                        std::type_index(typeid(e)) == row.type && e.GetCategory() == row.category)
                << row.status << ": " << e.what() << " (category " << int(e.GetCategory()) << ")";
        }
    }
    // The library's own classes, and the root: what a caller gets from a class it does not know.
    std::pair<ErrorCategory, std::shared_ptr<Exception>> const own[] = {
        {C::kInternal, std::make_shared<ThreadErrorException>("")},
        {C::kTimedOut, std::make_shared<ProviderCallTimedOutException>()},
        {C::kIO, std::make_shared<IOError>("")},
        {C::kIO, std::make_shared<FilePermissionError>("")},
        {C::kIO, std::make_shared<ConfigurationError>("")},
        {C::kIO, std::make_shared<InvalidThumbprintStoreException>("")},
        {C::kInvalidInput, std::make_shared<InvalidKeyException>("")},
        {C::kInvalidInput, std::make_shared<UnknownRemoteAuthenticationStoreException>("")},
        {C::kInvalidInput, std::make_shared<InvalidRemoteAuthenticationStoreException>("")},
        {C::kInvalidInput, std::make_shared<InvalidCertificateException>()},
        {C::kInvalidInput, std::make_shared<InvalidCredentialsException>("")},
        {C::kInvalidInput, std::make_shared<InvalidHostNameException>("")},
        {C::kInvalidInput, std::make_shared<InvalidIPAddressException>("")},
        {C::kInvalidInput, std::make_shared<InvalidVerifyQAPCertificateOptionException>("")},
        {C::kInvalidInput, std::make_shared<UnknownAccountException>("")},
        {C::kDirectory, std::make_shared<InvalidActiveDirectoryProviderException>("")},
        {C::kDirectory, std::make_shared<InvalidQAPProxyProviderException>("")},
        {C::kDirectory, std::make_shared<InvalidQAPCertificateException>()},
        {C::kDirectory, std::make_shared<Exception>("")},
    };
    for (auto const& [category, e] : own) {
        EXPECT_EQ(int(category), int(e->GetCategory())) << typeid(*e).name();
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
