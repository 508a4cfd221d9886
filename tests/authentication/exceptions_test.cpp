#include <authentication/exceptions.h>
#include <authentication/status_mapping.h>
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <typeindex>
#include <typeinfo>

using namespace ostrel::authentication;

namespace {

std::string Text(Exception const& e) {
    return e.what();
}

}  // namespace

TEST(ExceptionText, CodeAndMessageFormatting) {
    EXPECT_EQ("Exception 0x00000005: Access is denied.", Text(Exception(5, "Access is denied.")));
    EXPECT_EQ("Exception 0xffff0000: x", Text(Exception(0xFFFF0000ul, "x")));
    EXPECT_EQ("Exception 0x00000000: ", Text(Exception(0, "")));
    EXPECT_EQ("plain text, no prefix", Text(Exception("plain text, no prefix")));
    EXPECT_EQ(0u, Exception("x").GetCode());
    EXPECT_EQ(1326u, Exception(1326, "x").GetCode());
}

TEST(ExceptionText, LibraryClassesBuildTheirMessages) {
    EXPECT_EQ("Thread Error: d", Text(ThreadErrorException("d")));
    EXPECT_EQ("Thread Error: ", Text(ThreadErrorException("")));
    EXPECT_EQ("Provider call timed out.", Text(ProviderCallTimedOutException()));
    EXPECT_EQ("io 'x'", Text(IOError("io 'x'")));
    EXPECT_EQ("Failed to save file permissions, file permissions may be incorrect: d",
              Text(FilePermissionError("d")));
    EXPECT_EQ("cfg", Text(ConfigurationError("cfg")));
    EXPECT_EQ("The specified key 'k' was not found in this configuration",
              Text(InvalidKeyException("k")));
    EXPECT_EQ("The specified store 'n' is unknown",
              Text(UnknownRemoteAuthenticationStoreException("n")));
    EXPECT_EQ("The specified store 'n' is invalid",
              Text(InvalidRemoteAuthenticationStoreException("n")));
    EXPECT_EQ("The specified Active Directory provider 'p' is invalid",
              Text(InvalidActiveDirectoryProviderException("p")));
    EXPECT_EQ("The specified Active Directory provider 'p' is invalid: r",
              Text(InvalidActiveDirectoryProviderException("p", "r")));
    EXPECT_EQ("The specified QAPProxy provider 'p' is invalid",
              Text(InvalidQAPProxyProviderException("p")));
    EXPECT_EQ("The specified QAPProxy provider 'p' is invalid: r",
              Text(InvalidQAPProxyProviderException("p", "r")));
    EXPECT_EQ("The specified thumbprint store 's' is invalid",
              Text(InvalidThumbprintStoreException("s")));
    EXPECT_EQ("The QAP server's certificate cannot be verified.",
              Text(InvalidQAPCertificateException()));
    EXPECT_EQ("The certificate format is invalid; only PEM format is supported.",
              Text(InvalidCertificateException()));
    EXPECT_EQ("The credentials that were provided were invalid: d",
              Text(InvalidCredentialsException("d")));
    EXPECT_EQ("The current hostname is invalid: d", Text(InvalidHostNameException("d")));
    EXPECT_EQ("The IP Address is invalid: d", Text(InvalidIPAddressException("d")));
    EXPECT_EQ("The VerifyQAPCertificate option is invalid: d",
              Text(InvalidVerifyQAPCertificateOptionException("d")));
    // Details go in unchanged, apostrophes and all.
    EXPECT_EQ("The specified key 'it's' was not found in this configuration",
              Text(InvalidKeyException("it's")));
    EXPECT_EQ(0u, InvalidKeyException("k").GetCode());
}

TEST(ExceptionText, StatusClassesCarryTheirCode) {
    EXPECT_EQ(2u, FileNotFoundException().GetCode());
    EXPECT_EQ("Exception 0x00000002: The system cannot find the file specified.",
              Text(FileNotFoundException()));
    EXPECT_EQ(120u, CallNotImplementedException().GetCode());
    EXPECT_EQ("Exception 0x00000078: This function is not supported on this system.",
              Text(CallNotImplementedException()));
    EXPECT_EQ(
        "Exception 0x0000052e: The attempted logon is invalid. This is due to either a bad "
        "user name or authentication information.",
        Text(LogonFailureException()));
    EXPECT_EQ("Exception 0x00000007: Unknown exception", Text(UnknownException(7)));
}

TEST(ExceptionCloning, CloneAndThrowKeepTheMostDerivedClass) {
    InvalidKeyException original("k");
    std::unique_ptr<Exception> clone(original.Clone());
    EXPECT_EQ(typeid(InvalidKeyException), typeid(*clone));
    EXPECT_STREQ(original.what(), clone->what());
    EXPECT_EQ(original.GetCode(), clone->GetCode());

    Exception const& base = *clone;
    EXPECT_THROW(base.Throw(), InvalidKeyException);
    try {
        base.Throw();
    } catch (std::exception const& e) {
        EXPECT_STREQ("The specified key 'k' was not found in this configuration", e.what());
    }

    std::unique_ptr<Exception> status(UnknownException(0xabcdef01ul).Clone());
    try {
        status->Throw();
        FAIL() << "Throw returned";
    } catch (UnknownException const& e) {
        EXPECT_EQ(0xabcdef01ul, e.GetCode());
        EXPECT_STREQ("Exception 0xabcdef01: Unknown exception", e.what());
    }

    std::unique_ptr<Exception> root(Exception("root").Clone());
    EXPECT_EQ(typeid(Exception), typeid(*root));
}

TEST(ExceptionCloning, CrossesThreadsThroughACloneWithItsType) {
    std::unique_ptr<Exception> carried;
    std::thread worker([&carried] {
        try {
            ThrowMappedException(1355);
        } catch (Exception const& e) {
            carried.reset(e.Clone());
        }
    });
    worker.join();
    ASSERT_TRUE(carried);
    try {
        carried->Throw();
    } catch (NoSuchDomainException const& e) {
        EXPECT_STREQ(
            "Exception 0x0000054b: The specified domain either does not exist or could "
            "not be contacted.",
            e.what());
        return;
    }
    FAIL() << "the rethrown exception lost its class";
}

namespace {

struct MappedStatus {
    unsigned int status;
    std::type_index type;
    char const* text;
};

#define ROW(status, Name, text) \
    { status, typeid(Name), text }

const MappedStatus kTable[] = {
    ROW(2, FileNotFoundException, "The system cannot find the file specified."),
    ROW(5, AccessDeniedException, "Access is denied."),
    ROW(8, NotEnoughMemoryException, "Not enough memory"),
    ROW(31, GeneralFailureException, "A device attached to the system is not functioning."),
    ROW(86, InvalidPasswordException, "The specified network password is not correct."),
    ROW(87, InvalidParameterException, "The parameter is incorrect."),
    ROW(120, CallNotImplementedException, "This function is not supported on this system."),
    ROW(121, SemaphoreTimeoutException, "The semaphore timeout period has expired."),
    ROW(267, DirectoryException, "The directory name is invalid."),
    ROW(609, BadDLLEntryPointException, "Bad DLL entry point."),
    ROW(1002, InvalidMessageException, "The window cannot act on the sent message."),
    ROW(1060, ServiceDoesNotExistException,
        "The specified service does not exist as an installed service."),
    ROW(1061, ServiceCannotAcceptControlException,
        "The service cannot accept control messages at this time."),
    ROW(1062, ServiceNotActiveException, "The service has not been started."),
    ROW(1064, ExceptionInServiceException,
        "An exception occurred in the service when handling the control request."),
    ROW(1067, ProcessAbortedException, "The process terminated unexpectedly."),
    ROW(1201, ConnectionUnavailableException,
        "The device is not currently connected but it is a remembered connection."),
    ROW(1209, InvalidGroupNameException, "The format of the specified group name is invalid."),
    ROW(1210, InvalidComputerNameException,
        "The format of the specified computer name is invalid."),
    ROW(1212, InvalidDomainNameException, "The format of the specified domain name is invalid."),
    ROW(1213, InvalidServiceNameException, "The format of the specified service name is invalid."),
    ROW(1214, InvalidNetNameException, "The format of the specified network name is invalid."),
    ROW(1215, InvalidShareNameException, "The format of the specified share name is invalid."),
    ROW(1216, InvalidPasswordNameException, "The format of the specified password is invalid."),
    ROW(1222, NoNetworkException, "The network is not present or not started."),
    ROW(1225, ConnectionRefusedException, "The remote computer refused the network connection."),
    ROW(1229, ConnectionInvalidException,
        "An operation was attempted on a nonexistent network connection."),
    ROW(1311, NoLogonServersException,
        "There are currently no logon servers available to service the logon request."),
    ROW(1315, InvalidAccountNameException,
        "The name provided is not a properly formed account name."),
    ROW(1316, AccountExistsException, "The specified account already exists."),
    ROW(1317, NoSuchUserException, "The specified account does not exist."),
    ROW(1324, IllFormedPasswordException,
        "The value provided for the new password contains values that are not allowed in "
        "passwords."),
    ROW(1325, PasswordRestrictionException,
        "The value provided for the new password does not meet the length, complexity, or "
        "history requirements of the domain."),
    ROW(1326, LogonFailureException,
        "The attempted logon is invalid. This is due to either a bad user name or "
        "authentication information."),
    ROW(1330, PasswordExpiredException,
        "Logon failure: the specified account password has expired."),
    ROW(1331, AccountDisabledException, "Logon failure: account currently disabled."),
    ROW(1355, NoSuchDomainException,
        "The specified domain either does not exist or could not be contacted."),
    ROW(1359, InternalErrorException, "An internal error occurred."),
    ROW(1398, TimeSkewException,
        "There is a time and/or date difference between the client and server."),
    ROW(1575, NoSuchGroupException, "The specified group does not exist."),
    ROW(1703, RPCSProtocolSequenceNotSupportedException,
        "The RPC protocol sequence is not supported."),
    ROW(1786, NoTrustLSASecretException, "The workstation does not have a trust secret."),
    ROW(1787, NoTrustSAMAccountException,
        "The domain controller does not have an account for this workstation."),
    ROW(1791, RPCSCallInProgressException,
        "A remote procedure call is already in progress for this thread."),
    ROW(1810, DomainTrustInconsistentException,
        "The name or security ID (SID) of the domain specified is inconsistent with the trust "
        "information for that domain."),
    ROW(1909, AccountLockedOutException,
        "The referenced account is currently locked out and may not be logged on to."),
    ROW(2138, WkstaNotStartedException, "The Workstation service has not been started."),
    ROW(2453, DomainControllerNotFoundException,
        "Could not find domain controller for this domain."),
    ROW(2691, SetupAlreadyJoinedException, "This machine is already joined to a domain."),
    ROW(2692, SetupNotJoinedException, "This machine is not currently joined to a domain."),
    ROW(2694, DefaultJoinRequiredException,
        "The destination domain controller does not support creating machine accounts in OUs."),
    ROW(2695, InvalidWorkgroupNameException, "The specified workgroup name is invalid."),
    ROW(10060, WSATimedOutException,
        "A connection attempt failed because the connected party did not properly respond after "
        "a period of time, or established connection failed because connected host has failed "
        "to respond."),
};

#undef ROW

// What ThrowMappedException raised for a status, seen through the root class.
void Mapped(unsigned int status, std::type_index* type, unsigned long* code, std::string* text) {
    try {
        ThrowMappedException(status);
    } catch (Exception const& e) {
        *type = typeid(e);
        *code = e.GetCode();
        *text = e.what();
        return;
    }
    ADD_FAILURE() << "status " << status << " raised nothing of the family";
}

}  // namespace

TEST(StatusMapping, EveryTableRowRaisesItsClassCodeAndText) {
    EXPECT_EQ(53u, sizeof kTable / sizeof kTable[0]);
    for (MappedStatus const& row : kTable) {
        std::type_index type = typeid(void);
        unsigned long code = 0;
        std::string text;
        Mapped(row.status, &type, &code, &text);
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "Exception 0x%08x: ", row.status);
        EXPECT_EQ(row.type, type) << "status " << row.status;
        EXPECT_EQ(row.status, code) << "status " << row.status;
        EXPECT_EQ(std::string(prefix) + row.text, text) << "status " << row.status;
    }
}

TEST(StatusMapping, ZeroAndUnknownStatuses) {
    // Status 0 is not success: it is file-not-found with code 2.
    try {
        ThrowMappedException(0);
        FAIL();
    } catch (FileNotFoundException const& e) {
        EXPECT_EQ(2u, e.GetCode());
        EXPECT_STREQ("Exception 0x00000002: The system cannot find the file specified.", e.what());
    }
    for (unsigned int status : {1u, 3u, 1211u, 1327u, 0xFFFF0000u, 0xFFFFFFFFu, 0x80090325u}) {
        try {
            ThrowMappedException(status);
            FAIL();
        } catch (UnknownException const& e) {
            EXPECT_EQ(status, e.GetCode());
            char expected[64];
            std::snprintf(expected, sizeof expected, "Exception 0x%08x: Unknown exception", status);
            EXPECT_STREQ(expected, e.what());
        }
    }
}

TEST(StatusMapping, HandlersForTheClassTheRootAndTheStandardBaseCatch) {
    EXPECT_THROW(ThrowMappedException(5), AccessDeniedException);
    EXPECT_THROW(ThrowMappedException(10060), Exception);
    EXPECT_THROW(ThrowMappedException(42), std::exception);
}
