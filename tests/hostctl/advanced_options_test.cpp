#include <gtest/gtest.h>
#include <hostctl/host.h>
#include <unistd.h>

#include "host_control_fixture.h"

namespace {

char const kOptions[] = "/etc/ostrel/hostctl/advanced-options.conf";

using HostCtl::Adv::AdvancedBranch;
using HostCtl::Adv::AdvancedIntegerOption;
using HostCtl::Adv::AdvancedOption;
using HostCtl::Adv::AdvancedStringOption;

std::unique_ptr<AdvancedBranch> Root() {
    std::unique_ptr<AdvancedBranch> root = HostCtl::HostFactory::GetHost()->GetAdvancedOptions();
    EXPECT_NE(nullptr, root);
    return root;
}

}  // namespace

using AdvancedOptionsTest = HostControlTest;

TEST_F(AdvancedOptionsTest, ReadsTypedOptionsByBranch) {
    sandbox::WriteFile(kOptions,
                       "# host options\n"
                       "UserVars.ActiveDirectoryVerifyQAPCertificate = int:1\n"
                       "\n"
                       "  UserVars.Negative=int:-9223372036854775808\n"
                       "UserVars.Greeting = string:hello  world \n"
                       "UserVars.Empty = string:\n"
                       "Net.Tcpip.Mtu = int:+1500\n"
                       "Net.Tcpip = string:branch and option may share a name");
    std::unique_ptr<AdvancedBranch> root = Root();
    EXPECT_EQ("", root->GetName());
    std::unique_ptr<AdvancedBranch> user = root->GetBranch("UserVars");
    ASSERT_NE(nullptr, user);
    EXPECT_EQ("UserVars", user->GetName());

    std::unique_ptr<AdvancedOption> verify = user->GetOption("ActiveDirectoryVerifyQAPCertificate");
    auto const* integer = dynamic_cast<AdvancedIntegerOption const*>(verify.get());
    ASSERT_NE(nullptr, integer);
    EXPECT_EQ("ActiveDirectoryVerifyQAPCertificate", integer->GetName());
    EXPECT_EQ(1, integer->GetValue());
    EXPECT_EQ(1, integer->GetValue());

    std::unique_ptr<AdvancedOption> negative = user->GetOption("Negative");
    ASSERT_NE(nullptr, dynamic_cast<AdvancedIntegerOption const*>(negative.get()));
    EXPECT_EQ(INT64_MIN, dynamic_cast<AdvancedIntegerOption const&>(*negative).GetValue());

    std::unique_ptr<AdvancedOption> greeting = user->GetOption("Greeting");
    EXPECT_EQ(nullptr, dynamic_cast<AdvancedIntegerOption const*>(greeting.get()));
    auto const* text = dynamic_cast<AdvancedStringOption const*>(greeting.get());
    ASSERT_NE(nullptr, text);
    EXPECT_EQ("hello  world", text->GetValue());
    auto empty = user->GetOption("Empty");
    ASSERT_NE(nullptr, dynamic_cast<AdvancedStringOption const*>(empty.get()));
    EXPECT_EQ("", dynamic_cast<AdvancedStringOption const&>(*empty).GetValue());

    std::unique_ptr<AdvancedBranch> net = root->GetBranch("Net");
    ASSERT_NE(nullptr, net);
    auto mtu = net->GetBranch("Tcpip")->GetOption("Mtu");
    EXPECT_EQ(1500, dynamic_cast<AdvancedIntegerOption const&>(*mtu).GetValue());
    EXPECT_NE(nullptr, dynamic_cast<AdvancedStringOption const*>(net->GetOption("Tcpip").get()));

    // Lookups are exact, and branches are not options.
    EXPECT_EQ(nullptr, root->GetBranch("uservars"));
    EXPECT_EQ(nullptr, root->GetOption("UserVars"));
    EXPECT_EQ(nullptr, user->GetOption("Missing"));
    EXPECT_EQ(nullptr, user->GetBranch("Greeting"));

    // A tree once read is a snapshot.
    sandbox::WriteFile(kOptions, "UserVars.ActiveDirectoryVerifyQAPCertificate = int:0\n");
    EXPECT_EQ(1, integer->GetValue());
    EXPECT_EQ(1, dynamic_cast<AdvancedIntegerOption const&>(
                     *user->GetOption("ActiveDirectoryVerifyQAPCertificate"))
                     .GetValue());
}

TEST_F(AdvancedOptionsTest, NoFileMeansNoOptions) {
    std::unique_ptr<AdvancedBranch> root = Root();
    EXPECT_EQ(nullptr, root->GetBranch("UserVars"));
    EXPECT_EQ(nullptr, root->GetOption("UserVars"));
    ASSERT_EQ(0, ::rmdir("/etc/ostrel/hostctl"));
    EXPECT_EQ(nullptr, Root()->GetBranch("UserVars"));
}

TEST_F(AdvancedOptionsTest, MalformedLinesNameTheFileAndLine) {
    struct Case {
        char const* line;
        char const* problem;
    };
    Case const cases[] = {
        {"UserVars.X int:1", "expected 'Branch.Option = type:value'"},
        {"X = int:1", "option name 'X' has no branch"},
        {" = int:1", "option name '' has no branch"},
        {"UserVars..X = int:1", "invalid option name 'UserVars..X'"},
        {"User Vars.X = int:1", "invalid option name 'User Vars.X'"},
        {"UserVars.X = bool:1", "unknown type 'bool' (expected int or string)"},
        {"UserVars.X = 1", "unknown type '1' (expected int or string)"},
        {"UserVars.X = int:", "invalid integer ''"},
        {"UserVars.X = int:1x", "invalid integer '1x'"},
        {"UserVars.X = int:0x10", "invalid integer '0x10'"},
        {"UserVars.X = int:1.5", "invalid integer '1.5'"},
        {"UserVars.X = int:9223372036854775808", "integer '9223372036854775808' is out of range"},
        {"UserVars.X = int:1\nUserVars.X = string:again", nullptr},
    };
    for (Case const& c : cases) {
        sandbox::WriteFile(kOptions, std::string("# options\n") + c.line + "\n");
        std::string expected =
            c.problem != nullptr ? std::string("Invalid line 2 in '") + kOptions + "': " + c.problem
                                 : std::string("Invalid line 3 in '") + kOptions +
                                       "': option 'UserVars.X' is defined more than once";
        EXPECT_EQ(expected, ErrorOf([] { HostCtl::HostFactory::GetHost()->GetAdvancedOptions(); }))
            << c.line;
    }

    ASSERT_EQ(0, ::unlink(kOptions));
    sandbox::MakeDirectory(kOptions);
    EXPECT_EQ(std::string("Unable to read '") + kOptions + "': Is a directory",
              ErrorOf([] { HostCtl::HostFactory::GetHost()->GetAdvancedOptions(); }));
}
