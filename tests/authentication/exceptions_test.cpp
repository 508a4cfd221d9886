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

struct Row {
    unsigned int status;
    std::type_index type;
    char const* text;
};

}  // namespace

// Every row of the status table raises its class, with the status as its code and the row's
// text behind it; a few messages that callers match are spelled out.
TEST(StatusMapping, EveryStatusRaisesItsClassWithItsCode) {
#define X(Name, status, text) Row{status, typeid(Name), text},
    Row const rows[] = {
#include "../../src/authentication/status_table.inc"
    };
#undef X
    for (Row const& row : rows) {
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
    struct {
        unsigned int status;
        char const* what;
    } const spelled[] = {
        {5, "Exception 0x00000005: Access is denied."},
        {2692, "Exception 0x00000a84: This machine is not currently joined to a domain."},
    };
    for (auto const& row : spelled) {
        std::type_index type = typeid(void);
        unsigned long code = 0;
        std::string text;
        Mapped(row.status, &type, &code, &text);
        EXPECT_EQ(row.what, text);
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
