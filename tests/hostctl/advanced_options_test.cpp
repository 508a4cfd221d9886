#include <gtest/gtest.h>
#include <hostctl/host.h>
#include <unistd.h>

#include <cstring>

#include "host_control_fixture.h"

namespace {

char const kOptions[] = "/etc/ostrel/hostctl/advanced-options.conf";

using namespace HostCtl::Adv;

std::unique_ptr<AdvancedBranch> Root() {
    return HostCtl::HostFactory::GetHost()->GetAdvancedOptions();
}

// "int:N", "string:TEXT" or "none" for the option of the branch path.
std::string Value(AdvancedBranch const& root, std::vector<std::string> const& branches,
                  std::string const& option) {
    std::unique_ptr<AdvancedBranch> branch = root.GetBranch(branches[0]);
    for (std::size_t i = 1; branch && i < branches.size(); ++i) {
        branch = branch->GetBranch(branches[i]);
    }
    std::unique_ptr<AdvancedOption> found = branch ? branch->GetOption(option) : nullptr;
    if (!found) return "none";
    EXPECT_EQ(option, found->GetName());
    if (auto const* integer = dynamic_cast<AdvancedIntegerOption const*>(found.get())) {
        return "int:" + std::to_string(integer->GetValue());
    }
    auto const* text = dynamic_cast<AdvancedStringOption const*>(found.get());
    return text ? "string:" + text->GetValue() : "(untyped)";
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
    ASSERT_NE(nullptr, root);
    EXPECT_EQ("", root->GetName());
    EXPECT_EQ("UserVars", root->GetBranch("UserVars")->GetName());
    struct {
        std::vector<std::string> branches;
        std::string option, value;
    } const cases[] = {
        {{"UserVars"}, "ActiveDirectoryVerifyQAPCertificate", "int:1"},
        {{"UserVars"}, "Negative", "int:-9223372036854775808"},
        {{"UserVars"}, "Greeting", "string:hello  world"},
        {{"UserVars"}, "Empty", "string:"},
        {{"Net", "Tcpip"}, "Mtu", "int:1500"},
        {{"Net"}, "Tcpip", "string:branch and option may share a name"},
        // Lookups are exact, and branches are not options.
        {{"uservars"}, "Greeting", "none"},
        {{"UserVars"}, "Missing", "none"},
        {{"UserVars", "Greeting"}, "Greeting", "none"},
    };
    for (auto const& c : cases) EXPECT_EQ(c.value, Value(*root, c.branches, c.option)) << c.option;
    EXPECT_EQ(nullptr, root->GetOption("UserVars"));

    // A tree once read is a snapshot.
    std::unique_ptr<AdvancedOption> verify =
        root->GetBranch("UserVars")->GetOption("ActiveDirectoryVerifyQAPCertificate");
    sandbox::WriteFile(kOptions, "UserVars.ActiveDirectoryVerifyQAPCertificate = int:0\n");
    EXPECT_EQ(1, dynamic_cast<AdvancedIntegerOption const&>(*verify).GetValue());
    EXPECT_EQ("int:1", Value(*root, {"UserVars"}, "ActiveDirectoryVerifyQAPCertificate"));

    // No file, or not even its directory: no options.
    ASSERT_EQ(0, ::unlink(kOptions));
    EXPECT_EQ("none", Value(*Root(), {"UserVars"}, "ActiveDirectoryVerifyQAPCertificate"));
    ASSERT_EQ(0, ::rmdir("/etc/ostrel/hostctl"));
    EXPECT_EQ(nullptr, Root()->GetBranch("UserVars"));
}

TEST_F(AdvancedOptionsTest, MalformedLinesNameTheFileAndLine) {
    struct Case {
        char const* line;
        char const* problem;
    } const cases[] = {
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
        {"UserVars.X = int:1\nUserVars.X = string:again",
         "option 'UserVars.X' is defined more than once"},
    };
    for (Case const& c : cases) {
        sandbox::WriteFile(kOptions, std::string("# options\n") + c.line + "\n");
        std::string const line = std::strchr(c.line, '\n') ? "3" : "2";
        EXPECT_EQ("Invalid line " + line + " in '" + kOptions + "': " + c.problem, ErrorOf(Root))
            << c.line;
    }
    ASSERT_EQ(0, ::unlink(kOptions));
    sandbox::MakeDirectory(kOptions);
    EXPECT_EQ(std::string("Unable to read '") + kOptions + "': Is a directory", ErrorOf(Root));
}
