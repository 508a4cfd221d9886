// The tslauth command: usage, stores, activation and the PAM views.
#include "cli_fixture.h"

using namespace ostrel::authentication;

namespace {

std::string const kPAMCanonical =
    "#%PAM-1.0\n\n"
    "account\trequired\t/lib/security/$ISA/pam_unix.so\t\n"
    "account\trequired\t/lib/security/$ISA/pam_access.so\t\n\n"
    "auth\trequired\t/lib/security/$ISA/pam_env.so\t\n"
    "auth\tsufficient\t/lib/security/$ISA/pam_unix.so\tlikeauth nullok \n\n"
    "session\trequired\t/lib/security/$ISA/pam_unix.so\t\n\n";

// Each line of the text behind the mark.
std::string Marked(char mark, std::string const& text) {
    std::string marked;
    for (std::string::size_type start = 0, end; start < text.size(); start = end) {
        end = text.find('\n', start) + 1;
        marked += mark + text.substr(start, end - start);
    }
    return marked;
}

}  // namespace

TEST_F(CliTest, HelpAndUsageErrors) {
    EXPECT_EQ(0u, RunTool({"--help"}).out.find("Usage: tslauth COMMAND [ARGUMENTS]\n"));
    struct {
        std::vector<std::string> words;
        std::string message;
    } const misuses[] = {
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"stores", "extra"}, "unexpected argument 'extra'"},
        {{"stores", "--verbose"}, "unknown option --verbose"},
        {{"status", "--timeout", "0"}, "--timeout takes a number of seconds from 1 to 3600"},
        {{"status", "--timeout"}, "option --timeout needs a value"},
        {{"join", "corp.example"}, "join needs --user NAME"},
        {{"leave", "--password-file", "/dev/null"}, "--password-file needs --user"},
        {{"import-certificate", "cert.pem"}, "missing argument"},
        {{"pam", "edit"}, "unknown command 'pam edit'"},
    };
    for (auto const& misuse : misuses) {
        EXPECT_EQ("2||tslauth: " + misuse.message + "\nTry 'tslauth --help'.\n",
                  Shown(RunTool(misuse.words)));
    }
}

TEST_F(CliTest, StoresAndActivation) {
    EXPECT_EQ("  Active Directory\n* None\n", RunTool({"stores"}).out);
    EXPECT_EQ(
        "[{\"name\": \"Active Directory\", \"active\": false}, "
        "{\"name\": \"None\", \"active\": true}]\n",
        RunTool({"stores", "--json"}).out);
    EXPECT_EQ("0|Active store: Active Directory\n|",
              Shown(RunTool({"activate", "Active Directory"})));
    EXPECT_EQ("* Active Directory\n  None\n", RunTool({"stores"}).out);
    EXPECT_EQ("3||" + Error(UnknownRemoteAuthenticationStoreException("Kerberos")),
              Shown(RunTool({"activate", "Kerberos"})));
    EXPECT_EQ(0, RunTool({"activate", "None"}).status);
    EXPECT_EQ(kPAMCanonical, sandbox::ReadFile(kPAMFile));

    // A malformed configuration file is named, and a comment line gets a hint.
    sandbox::WriteFile("/etc/ostrel/tslauth/provider.conf",
                       "# the directory\nprovider = demodirectory\n");
    std::string const named =
        "/etc/ostrel/tslauth/provider.conf: Error parsing configuration on line 1: no delimiter "
        "found (the library's configuration files have no comment lines: every line that is "
        "not blank is \"key = value\")";
    EXPECT_EQ("6||tslauth: " + named + "\n", Shown(RunTool({"status"})));
    EXPECT_EQ("  Active Directory  (state unknown: " + named + ")\n* None\n",
              RunTool({"stores"}).out);
}

TEST_F(CliTest, PamShowAndPreviewWritesNothing) {
    EXPECT_EQ("0|" + kPAMCanonical + "|", Shown(RunTool({"pam", "show"})));
    auto entry = [](std::string control, std::string module, std::string parameters = "") {
        return "{\"control\": \"" + control + "\", \"module\": \"/lib/security/$ISA/" + module +
               "\", \"parameters\": [" + parameters + "]}";
    };
    EXPECT_EQ("{\"service\": \"system-auth-generic\", \"stacks\": {\"account\": [" +
                  entry("required", "pam_unix.so") + ", " + entry("required", "pam_access.so") +
                  "], \"auth\": [" + entry("required", "pam_env.so") + ", " +
                  entry("sufficient", "pam_unix.so", "\"likeauth\", \"nullok\"") +
                  "], \"session\": [" + entry("required", "pam_unix.so") + "]}}\n",
              RunTool({"pam", "show", "--json"}).out);

    // After the leading required entries (pam_env) in auth, after pam_access in account.
    std::string activated = kPAMCanonical;
    std::string const module =
        "sufficient\t/lib/security/$ISA/pam_demodirectory.so\ttry_first_pass \n";
    activated.insert(activated.find("\nauth\tsufficient") + 1, "auth\t" + module);
    activated.insert(activated.find("\n\nauth") + 1, "account\t" + module);
    std::vector<std::string> const pamFiles = sandbox::ListDirectory("/etc/pam.d");
    std::vector<std::string> const configFiles = sandbox::ListDirectory("/etc/ostrel/tslauth");
    // The file's own bytes against the bytes activation writes: every line differs here.
    EXPECT_EQ(
        "0|--- a/etc/pam.d/system-auth-generic\n+++ b/etc/pam.d/system-auth-generic\n"
        "@@ -1,5 +1,12 @@\n" +
            Marked('+', activated) + Marked('-', kPAMText) + "|",
        Shown(RunTool({"pam", "preview"})));
    EXPECT_EQ(0u, RunTool({"pam", "preview", "--json"})
                      .out.find("{\"file\": \"/etc/pam.d/system-auth-generic\", \"changes\": "
                                "true, \"diff\": \"--- a/etc/pam.d/system-auth-generic\\n"));
    // Nothing written: the same bytes, no new files, the store not recorded.
    EXPECT_EQ(
        kPAMText + "remote-authentication-store = None\n",
        sandbox::ReadFile(kPAMFile) + sandbox::ReadFile("/etc/ostrel/tslauth/authentication.conf"));
    EXPECT_EQ(pamFiles, sandbox::ListDirectory("/etc/pam.d"));
    EXPECT_EQ(configFiles, sandbox::ListDirectory("/etc/ostrel/tslauth"));

    // Activation does exactly what the preview showed.
    ASSERT_EQ(0, RunTool({"activate", "Active Directory"}).status);
    EXPECT_EQ(activated, sandbox::ReadFile(kPAMFile));
    EXPECT_EQ("Activation would not change /etc/pam.d/system-auth-generic.\n",
              RunTool({"pam", "preview"}).out);
    EXPECT_EQ(
        "{\"file\": \"/etc/pam.d/system-auth-generic\", \"changes\": false, \"diff\": \"\"}\n",
        RunTool({"pam", "preview", "--json"}).out);

    // A missing file is an I/O failure; a statement the model refuses is named by file and line.
    ASSERT_EQ(0, ::unlink(kPAMFile));
    for (char const* command : {"show", "preview"}) {
        EXPECT_EQ(
            "6||tslauth: Cannot open '/etc/pam.d/system-auth-generic': No such file or "
            "directory\n",
            Shown(RunTool({"pam", command})));
    }
    sandbox::WriteFile(kPAMFile, "auth required pam_env.so\nauth requird pam_unix.so\n");
    for (char const* command : {"show", "preview"}) {
        EXPECT_EQ("6||tslauth: /etc/pam.d/system-auth-generic, line 2: Invalid Control: requird\n",
                  Shown(RunTool({"pam", command})));
    }
}
