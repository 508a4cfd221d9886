// The tslauth command against the demo directory: exit statuses, the password's way in, the
// machine-readable outputs and the PAM views. The tour (tools/tour.sh) shows the plain outputs.
#include <authentication/exceptions.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "sandbox.h"
#include "test_certificate.h"

using namespace ostrel::authentication;

namespace {

char const kDirectoryFile[] = "/etc/ostrel/tslauth/demo-directory.conf";
char const kPAMFile[] = "/etc/pam.d/system-auth-generic";
std::string const kPassword = "Demo-Passw0rd";
std::string const kPAMText =
    "auth required /lib/security/$ISA/pam_env.so\n"
    "auth sufficient /lib/security/$ISA/pam_unix.so likeauth nullok\n"
    "account required /lib/security/$ISA/pam_unix.so\n"
    "account required /lib/security/$ISA/pam_access.so\n"
    "session required /lib/security/$ISA/pam_unix.so\n";

struct ToolResult {
    int status = -1;  // the exit status, or 128 + signal
    std::string out, err;
};

// Runs tslauth with the input on a pipe; `started` sees the process first.
ToolResult RunTool(std::vector<std::string> arguments, std::string const& input = "",
                   std::function<void(pid_t)> const& started = nullptr) {
    auto output = [](int fd) {
        return sandbox::ScratchDirectory() + "/tool." + std::to_string(fd);
    };
    int pipe[2];
    EXPECT_EQ(0, ::pipe2(pipe, O_CLOEXEC));
    std::vector<char*> argv;
    arguments.insert(arguments.begin(), TSLAUTH_TOOL);
    for (std::string& word : arguments) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t const pid = ::fork();
    if (pid == 0) {
        ::dup2(pipe[0], 0);
        for (int fd : {1, 2})
            ::dup2(::open(output(fd).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), fd);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipe[0]);
    if (started) started(pid);
    if (!input.empty() && ::write(pipe[1], input.data(), input.size()) < 0) ADD_FAILURE();
    ::close(pipe[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            sandbox::ReadFile(output(1)), sandbox::ReadFile(output(2))};
}

std::string Error(Exception const& e) {
    return std::string("tslauth: ") + e.what() + "\n";
}

// What a run shows, compared at once: "status|standard output|standard error".
std::string Shown(ToolResult const& result) {
    return std::to_string(result.status) + "|" + result.out + "|" + result.err;
}

class CliTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        sandbox::SandboxTest::SetUp();
        for (char const* plugin : {DEMO_DIRECTORY_PLUGIN, DEMO_PROXY_PLUGIN}) {
            std::string const name = plugin;
            sandbox::WriteFile("/usr/libexec/tslauth/lib/" + name.substr(name.rfind('/') + 1),
                               sandbox::ReadFile(plugin), 0755);
        }
        sandbox::WriteFile("/etc/ostrel/tslauth/provider.conf", "provider = demodirectory\n");
        sandbox::WriteFile("/etc/ostrel/tslauth/qapprovider.conf", "provider = demoproxy\n");
        sandbox::WriteFile("/etc/ostrel/tslauth/authentication.conf",
                           "remote-authentication-store = None\n");
        sandbox::WriteFile(kDirectoryFile, sandbox::ReadFile(DEMO_EXAMPLE_DIRECTORY), 0600);
        sandbox::WriteFile(kPAMFile, kPAMText);
    }
    // Replaced by rename as the plug-ins do, so that a waiting query never sees it missing.
    static void EditDirectory(std::string const& from, std::string const& to) {
        std::string text = sandbox::ReadFile(kDirectoryFile);
        text.replace(text.find(from), from.size(), to);
        sandbox::WriteFile(std::string(kDirectoryFile) + ".test", text, 0600);
        ASSERT_EQ(0, ::rename((std::string(kDirectoryFile) + ".test").c_str(), kDirectoryFile));
    }
};

// tslauth join corp.example --user administrator, then the words.
std::vector<std::string> Join(std::vector<std::string> const& words) {
    std::vector<std::string> joined = {"join", "corp.example", "--user", "administrator"};
    joined.insert(joined.end(), words.begin(), words.end());
    return joined;
}

std::string Usage(std::string const& message) {
    return "2||tslauth: " + message + "\nTry 'tslauth --help'.\n";
}

// The arguments the tool was started with. Under a user-mode emulator (a 32-bit build on a
// host that runs 32-bit programs only that way) the emulator comes first; it is dropped.
std::string CommandLine(pid_t pid) {
    std::string const proc = "/proc/" + std::to_string(pid);
    std::string words = sandbox::ReadFile(proc + "/cmdline");
    char exe[4096];
    ssize_t const length = ::readlink((proc + "/exe").c_str(), exe, sizeof exe - 1);
    std::string const emulator = std::string(exe, length > 0 ? length : 0) + '\0';
    if (length > 0 && emulator != std::string(TSLAUTH_TOOL) + '\0' &&
        words.compare(0, emulator.size(), emulator) == 0) {
        words.erase(0, emulator.size());
    }
    return words;
}

// One row per way a run ends, on an unjoined host; a row's file is written before it runs.
TEST_F(CliTest, ExitStatusAndOutputOfEachRun) {
    struct {
        std::vector<std::string> words;
        std::string shown, input = "", file = "", text = "";
    } const rows[] = {
        {{"stores", "--json"},
         "0|[{\"name\": \"Active Directory\", \"active\": false}, {\"name\": \"None\", "
         "\"active\": true}]\n|"},
        {{"proxy-domain", "192.0.2.1", "--json"},
         "0|{\"server\": \"192.0.2.1\", \"domain\": \"corp.example\"}\n|"},
        // A failing check, with its hint; preflight writes nothing (checked after the rows).
        {{"preflight", "corp.example"},
         "1|FAIL  host name resolves: The current hostname is invalid: Host name lookup failure\n"
         "      hint: add the line \"ADDRESS\tsandbox-host.corp.example sandbox-host\" to "
         "/etc/hosts\nFAIL  domain resolves: corp.example\n      hint: make corp.example "
         "resolvable: point /etc/resolv.conf at the domain's DNS servers\n|"},
        {{"permit"}, "0|May log in: every directory user\n|"},
        {{"permit", "--all", "--groups", "g"},
         Usage("permit takes one of --all, --users, --groups")},
        {{"permit", "--users"}, Usage("permit --users needs at least one name")},
        {{}, Usage("no command given")},
        {{"frobnicate"}, Usage("unknown command 'frobnicate'")},
        {{"leave", "--password-file", "/dev/null"}, Usage("--password-file needs --user")},
        {Join({"--password", kPassword}), Usage("unknown option --password")},
        {Join({"--password=" + std::string(kPassword)}), Usage("unknown option --password")},
        {{"activate", "Kerberos"},
         "3||" + Error(UnknownRemoteAuthenticationStoreException("Kerberos"))},
        // Words and a next step first, the status after them; each kind its own exit status.
        {Join({"--skip-hostname-check"}),
         "7||tslauth: wrong user name or password for administrator in corp.example: check both "
         "and try again (a wrong password is never tried twice: each try counts towards the "
         "account's lockout) (status 1326)\n",
         "demo-passw0rd\n"},
        {{"join", "nosuch.example", "--user", "CORP\\administrator", "--skip-hostname-check"},
         "8||tslauth: no domain controller of nosuch.example was found: check DNS: the host must "
         "resolve the domain's service records (_ldap._tcp.nosuch.example); /etc/resolv.conf "
         "names 127.0.0.1 (status 1355)\n",
         kPassword + "\n"},
        {{"leave"},
         "9||tslauth: this host is not joined to a domain: there is nothing to leave (status "
         "2692)\n"},
        // A plug-in without the option refuses it before the host name is checked.
        {Join({"--reuse-account"}),
         "4||tslauth: the provider plug-in cannot join over an existing account "
         "(--reuse-account): delete the account in the domain and join without --reuse-account "
         "(status 120)\n",
         kPassword + "\n"},
        {Join({"--password-file", "/nonexistent"}),
         "6||tslauth: Cannot open '/nonexistent': No such file or directory\n"},
        {{"pam", "preview"},
         "6||tslauth: /etc/pam.d/system-auth-generic, line 2: Invalid Control: requird\n",
         "",
         kPAMFile,
         "auth required pam_env.so\nauth requird pam_unix.so\n"},
        // A malformed configuration file is named; a comment line gets a hint.
        {{"status"},
         "6||tslauth: /etc/ostrel/tslauth/provider.conf: Error parsing configuration on line 1: "
         "no delimiter found (the library's configuration files have no comment lines: every "
         "line that is not blank is \"key = value\")\n",
         "",
         "/etc/ostrel/tslauth/provider.conf",
         "# the directory\nprovider = demodirectory\n"},
    };
    for (auto const& row : rows) {
        if (!row.file.empty()) sandbox::WriteFile(row.file, row.text);
        EXPECT_EQ(row.shown, Shown(RunTool(row.words, row.input)));
    }
    EXPECT_EQ("127.0.0.1\tlocalhost\n::1\tlocalhost\n|nameserver 127.0.0.1\n",
              sandbox::ReadFile("/etc/hosts") + "|" + sandbox::ReadFile("/etc/resolv.conf"));
}

// The proxy commands as a new administrator meets them: the service named as commands' users
// name it, and each refusal saying what fixes it. A row's file is written (or removed, without
// text) before it runs.
TEST_F(CliTest, ProxyCommandsNameTheServiceAndWhatFixesARefusal) {
    std::string const pem = sandbox::ScratchDirectory() + "/proxy.pem";
    std::string const options = "/etc/ostrel/hostctl/advanced-options.conf";
    std::string const servers = "/etc/ostrel/tslauth/qapservers.conf";
    std::string const option = "UserVars.ActiveDirectoryVerifyQAPCertificate";
    test_certificate::Certificate const certificate = test_certificate::Make("proxy");
    sandbox::WriteFile(pem, certificate.pem);
    if (!sandbox::PathExists("/etc/ostrel/hostctl")) sandbox::MakeDirectory("/etc/ostrel/hostctl");
    sandbox::WriteFile("/etc/hosts",
                       "127.0.0.1\tlocalhost\n192.0.2.1\tproxy.corp.example\n198.51.100.5\t"
                       "sandbox-host.corp.example sandbox-host\n");
    std::vector<std::string> const join = {"join-proxy", "proxy.corp.example",
                                           "--skip-hostname-check"};
    struct {
        std::vector<std::string> words;
        std::string shown, file = "", text = "";
    } const rows[] = {
        {{"import-certificate", pem, "proxy.corp.example:9443"},
         "0|Imported the certificate of proxy.corp.example:9443 (192.0.2.1) from " + pem + ".\n|",
         servers,
         " "},
        {{"import-certificate", pem, "192.0.2.1:8443"},
         "3||tslauth: The IP Address is invalid: '192.0.2.1:8443': the proxy client talks to "
         "port 9443 only; name the service without a port\n"},
        {join,
         "4||tslauth: the certificate the service at proxy.corp.example showed is not the one "
         "imported for it: with a trusted copy of its certificate (tslauth-proxyd --check prints "
         "its thumbprint), run 'tslauth import-certificate FILE proxy.corp.example'\n"
         "tslauth: The QAP server's certificate cannot be verified.\n",
         options, option + " = int:1\n"},
        {join,
         "3||tslauth: the advanced option " + option +
             " is missing (it has no default): add the line '" + option +
             " = int:1' (check the service's certificate) to "
             "/etc/ostrel/hostctl/advanced-options.conf\ntslauth: The VerifyQAPCertificate "
             "option is invalid: Unable to get advanced option " +
             option + "\n",
         options, "UserVars.Other = int:1\n"},
        {{}, "", options, option + " = int:0\n"},
        {join,
         "6||tslauth: warning: " + option +
             " is 0: the service's certificate is not checked, so whoever answers at 192.0.2.1 "
             "can hand this host an account of its choosing (set it to 1 once 'tslauth "
             "import-certificate FILE proxy.corp.example' has pinned the certificate)\n"
             "tslauth: " +
             servers +
             " is missing: no certificate was imported yet (by default "
             "the file is empty): run 'install -m 644 /dev/null " +
             servers +
             "', then 'tslauth import-certificate FILE proxy.corp.example'\ntslauth: The "
             "specified thumbprint store '" +
             servers + "' is invalid\n",
         servers},
    };
    for (auto const& row : rows) {
        if (!row.file.empty() && row.text.empty()) ::unlink(row.file.c_str());
        if (!row.text.empty()) sandbox::WriteFile(row.file, row.text == " " ? "" : row.text);
        if (!row.words.empty()) {
            EXPECT_EQ(row.shown, Shown(RunTool(row.words)));
        }
        if (row.words.size() == 3 && row.words[0] == "import-certificate" && row.shown[0] == '0') {
            EXPECT_EQ("192.0.2.1 = \"" + certificate.thumbprint + "\"\n",
                      sandbox::ReadFile(servers));
        }
    }
}

// The password from a pipe: the arguments, read while the command waits for it, hold none of
// it. The directory is busy once: one line (no terminal) says which attempt comes next. The
// host-name repair shows in --json and on standard error.
TEST_F(CliTest, PasswordFromAPipeAndWhatTheJoinChanged) {
    sandbox::ManagementInterface const management;
    sandbox::WriteFile("/etc/hosts",
                       "127.0.0.1\tlocalhost\n198.51.100.5\tsandbox-host.lab.example "
                       "sandbox-host\n192.0.2.20\tcorp.example\n");
    EditDirectory("lockout-threshold", "busy-joins = 1\nlockout-threshold");
    std::string const fifo = sandbox::ScratchDirectory() + "/password-fifo";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    setenv("LD_PRELOAD", INSTANT_SLEEP, 1);
    std::string const asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
    std::vector<std::string> const words = Join({"--password-file", fifo, "--json"});
    ToolResult join = RunTool(words, "", [&](pid_t pid) {
        int const writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the tool
        ASSERT_GE(writer, 0);
        std::string expected = std::string(TSLAUTH_TOOL) + '\0';  // read while the tool waits
        for (std::string const& word : words) expected += word + '\0';
        EXPECT_EQ(expected, CommandLine(pid));
        std::string const lines = kPassword + "\nignored\n";
        EXPECT_EQ(static_cast<ssize_t>(lines.size()), ::write(writer, lines.data(), lines.size()));
        ::close(writer);
    });
    unsetenv("LD_PRELOAD");
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    std::string const warning =
        "The fully qualified hostname sandbox-host.lab.example does not match the expected "
        "value sandbox-host.corp.example";
    std::string const resolverChange =
        "wrote /etc/resolv.conf: added corp.example to the DNS search list";
    std::string const hostsLine = "192.0.2.10\tsandbox-host.lab.example sandbox-host";
    EXPECT_EQ("0|{\"joined\": \"corp.example\", \"warnings\": [\"" + warning +
                  "\"], \"changes\": [{\"change\": \"" + resolverChange +
                  "\", \"file\": \"/etc/resolv.conf\", \"search_domain_added\": "
                  "\"corp.example\"}, {\"change\": \"wrote /etc/hosts: the line \\\"192.0.2.10\\t"
                  "sandbox-host.lab.example sandbox-host\\\"\", \"file\": \"/etc/hosts\", "
                  "\"line\": \"192.0.2.10\\tsandbox-host.lab.example sandbox-host\"}]}\n|tslauth: "
                  "attempt 1 of 8 failed; attempt 2 of 8, retrying in 30 s\ntslauth: warning: " +
                  warning + "\ntslauth: changed: " + resolverChange +
                  "\ntslauth: changed: wrote /etc/hosts: the line \"" + hostsLine + "\"\n",
              Shown(join));

    // The rest of the joined status in --json is the real-directory suite's.
    EXPECT_NE(std::string::npos,
              RunTool({"status", "--json"})
                  .out.find("\"trusted_domains\": [{\"dns_name\": \"lab.example\", "
                            "\"netbios_name\": \"LAB\"}, {\"dns_name\": \"partner.example\", "
                            "\"netbios_name\": \"PARTNER\"}]"));

    // The directory stops answering: the queries time out and say so, and each field without
    // an answer says that, never "not joined" or "none".
    EditDirectory("unresponsive = no", "unresponsive = yes");
    ToolResult json = RunTool({"status", "--json", "--timeout", "1"});
    std::string const timedOut =
        "\"timed_out\": [\"configuration\", \"trusted domains\", \"trust state\"], "
        "\"unanswered_fields\": [\"domain\", \"machine_account\", \"preferred_controllers\", "
        "\"trust_state\", \"trusted_domains\"]}\n";
    EXPECT_EQ(5, json.status);
    EXPECT_EQ(json.out.size() - timedOut.size(), json.out.rfind(timedOut)) << json.out;
    std::string const none = "(no answer within 1 s)\n";
    std::string const note =
        "Note: no answer to the %s query within 1 s; shown is what this "
        "process had cached (nothing before its first answer).\n";
    auto noted = [&](std::string const& query) {
        std::string line = note;
        return line.replace(line.find("%s"), 2, query);
    };
    EXPECT_EQ(
        "5|Active store:          None\nMay log in:            every directory user\n"
        "Domain:                " +
            none + "Machine account:       " + none + "Preferred controllers: " + none +
            "Trust state:           2 (no answer within 1 s)\nTrusted domains:       " + none +
            "Note: no answer to the configuration query within 1 s from GetActiveDomain, "
            "GetPreferredDomainControllers, GetMachineAccountDN; their fields show what this "
            "process had cached (nothing before its first answer).\n" +
            noted("trusted domains") + noted("trust state") + "|",
        Shown(RunTool({"status", "--timeout", "1"})));

    // A join that fails still tells what it changed, in --json too.
    EditDirectory("unresponsive = yes", "unresponsive = no");
    EXPECT_EQ(
        "0|{\"left\": true, \"changes\": []}\n|tslauth: note: this host's computer account stays "
        "on the domain controller; delete it there, or join this host again with --reuse-account\n",
        Shown(RunTool({"leave", "--json"})));
    sandbox::WriteFile("/etc/hosts", "198.51.100.5\tsandbox-host.corp.example sandbox-host\n");
    std::string const hostsChange =
        "wrote /etc/hosts: the line \"192.0.2.10\tsandbox-host.corp.example sandbox-host\"";
    EXPECT_EQ(
        "7|{\"changes\": [{\"change\": \"wrote /etc/hosts: the line \\\"192.0.2.10\\t"
        "sandbox-host.corp.example sandbox-host\\\"\", \"file\": \"/etc/hosts\", \"line\": "
        "\"192.0.2.10\\tsandbox-host.corp.example sandbox-host\"}]}\n|tslauth: changed: " +
            hostsChange +
            "\ntslauth: wrong user name or password for administrator in corp.example: check both "
            "and try again (a wrong password is never tried twice: each try counts towards the "
            "account's lockout) (status 1326)\n",
        Shown(RunTool(Join({"--json"}), "not-" + kPassword + "\n")));

    // A hosts file that cannot be written is an I/O failure (6), not an internal one.
    std::string const hosts = "198.51.100.5\tsandbox-host.lab.example sandbox-host\n";
    sandbox::WriteFile("/etc/hosts", hosts);
    sandbox::RemountReadOnly("/etc");
    ToolResult const readOnly = RunTool(Join({}), kPassword + "\n");
    EXPECT_EQ(6, readOnly.status) << readOnly.err;
    EXPECT_NE(std::string::npos, readOnly.err.find("/etc/hosts")) << readOnly.err;
    EXPECT_EQ(hosts, sandbox::ReadFile("/etc/hosts"));
}

// The plain views and the preview's diff are the tour's; here the --json forms, and a preview
// writes nothing.
TEST_F(CliTest, PamShowAndPreviewWritesNothing) {
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

    std::vector<std::string> const pamFiles = sandbox::ListDirectory("/etc/pam.d");
    std::vector<std::string> const configFiles = sandbox::ListDirectory("/etc/ostrel/tslauth");
    EXPECT_EQ(0u, RunTool({"pam", "preview", "--json"})
                      .out.find("{\"file\": \"/etc/pam.d/system-auth-generic\", \"changes\": "
                                "true, \"diff\": \"--- a/etc/pam.d/system-auth-generic\\n"));
    // Nothing written: the same bytes, no new files, the store not recorded.
    EXPECT_EQ(
        kPAMText + "remote-authentication-store = None\n",
        sandbox::ReadFile(kPAMFile) + sandbox::ReadFile("/etc/ostrel/tslauth/authentication.conf"));
    EXPECT_EQ(pamFiles, sandbox::ListDirectory("/etc/pam.d"));
    EXPECT_EQ(configFiles, sandbox::ListDirectory("/etc/ostrel/tslauth"));
    // Activation tells the files it wrote, the switch back to "None" too.
    std::string const pam = "wrote /etc/pam.d/system-auth-generic";
    std::string const record = "wrote /etc/ostrel/tslauth/authentication.conf";
    EXPECT_EQ("0|{\"active_store\": \"Active Directory\", \"changes\": [{\"change\": \"" + pam +
                  "\", \"file\": \"/etc/pam.d/system-auth-generic\"}, {\"change\": \"" + record +
                  "\", \"file\": \"/etc/ostrel/tslauth/authentication.conf\"}]}\n|tslauth: "
                  "changed: " +
                  pam + "\ntslauth: changed: " + record + "\n",
              Shown(RunTool({"activate", "Active Directory", "--json"})));
    EXPECT_EQ(
        "{\"file\": \"/etc/pam.d/system-auth-generic\", \"changes\": false, \"diff\": \"\"}\n",
        RunTool({"pam", "preview", "--json"}).out);
    EXPECT_EQ(
        "0|Active store: None\n|tslauth: changed: " + pam + "\ntslauth: changed: " + record + "\n",
        Shown(RunTool({"activate", "None"})));
}

}  // namespace
