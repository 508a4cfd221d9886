// The tslauth command against the demo directory: joining, leaving, status, the proxy,
// preflight and time-outs.
#include <sys/stat.h>

#include <cstdlib>

#include "cli_fixture.h"

using namespace ostrel::authentication;

namespace {

std::string const kAccountDN = "CN=SANDBOX-HOST,CN=Computers,DC=corp,DC=example";

std::string const kJoinedStatus =
    "Active store:          None\n"
    "Domain:                corp.example (CORP)\n"
    "Machine account:       " +
    kAccountDN +
    "\n"
    "Preferred controllers: (none)\n"
    "Trust state:           1 (trusted)\n"
    "Trusted domains:       \n"
    "  lab.example (LAB)\n"
    "  partner.example (PARTNER)\n";

std::string const kNotJoinedStatus =
    "Active store:          None\n"
    "Domain:                (not joined)\n"
    "Machine account:       (none)\n"
    "Preferred controllers: (none)\n"
    "Trust state:           7 (not joined)\n"
    "Trusted domains:       (none)\n";

// The arguments the tool was started with. A program run through a user-mode emulator (a
// 32-bit build on a host that runs 32-bit programs only that way) shows the emulator first,
// as the process's executable; that word is dropped.
std::string CommandLine(pid_t pid) {
    std::string const proc = "/proc/" + std::to_string(pid);
    std::string words = sandbox::ReadFile(proc + "/cmdline");
    char executable[4096];
    ssize_t const length = ::readlink((proc + "/exe").c_str(), executable, sizeof executable - 1);
    if (length > 0) {
        std::string const emulator = std::string(executable, length) + '\0';
        if (emulator != std::string(TSLAUTH_TOOL) + '\0' &&
            words.compare(0, emulator.size(), emulator) == 0) {
            words.erase(0, emulator.size());
        }
    }
    return words;
}

// tslauth join corp.example --user administrator, then the words, the input on standard input.
ToolResult JoinCorp(std::string const& input,
                    std::vector<std::string> words = {"--skip-hostname-check"},
                    std::function<void(pid_t)> const& started = nullptr) {
    words.insert(words.begin(), {"join", "corp.example", "--user", "administrator"});
    return RunTool(words, input, started);
}

}  // namespace

TEST_F(CliTest, JoinStatusAndLeave) {
    EXPECT_EQ(kNotJoinedStatus, RunTool({"status"}).out);

    // A wrong password fails at once: it is never tried again, which under a lockout policy
    // would lock the account.
    EXPECT_EQ("4|" + Error(LogonFailureException()), Failure(JoinCorp("demo-passw0rd\n")));
    EXPECT_NE(std::string::npos,
              sandbox::ReadFile(kDirectoryFile).find("\nbad-passwords = administrator 1\n"));
    // No option takes a password.
    for (std::string option : {std::string("--password"), "--password=" + kPassword}) {
        EXPECT_EQ(2, JoinCorp("", {option, kPassword}).status);
    }
    EXPECT_FALSE(Joined());
    // An empty password is refused by the library before the directory is asked.
    ToolResult empty = JoinCorp("\n");
    EXPECT_EQ(3, empty.status);
    EXPECT_EQ(0u, empty.err.find("tslauth: ")) << empty.err;

    // The password from a pipe (its first line): the arguments, read while the command waits
    // for it, hold nothing of it. The directory is busy once: the command says which attempt
    // comes next (not a terminal: one line, no progress line).
    EditDirectory("lockout-threshold", "busy-joins = 1\nlockout-threshold");
    std::string const fifo = sandbox::ScratchDirectory() + "/password-fifo";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    setenv("LD_PRELOAD", INSTANT_SLEEP, 1);
    std::string const asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
    auto const written = [&](pid_t pid) {
        int const writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the tool
        ASSERT_GE(writer, 0);
        std::string words = std::string(TSLAUTH_TOOL) + '\0';
        for (std::string word : {"join", "corp.example", "--user", "administrator",
                                 "--password-file", fifo.c_str(), "--skip-hostname-check"}) {
            words += word + '\0';
        }
        EXPECT_EQ(words, CommandLine(pid));
        std::string const lines = kPassword + "\nignored\n";
        EXPECT_EQ(static_cast<ssize_t>(lines.size()), ::write(writer, lines.data(), lines.size()));
        ::close(writer);
    };
    ToolResult join = JoinCorp("", {"--password-file", fifo, "--skip-hostname-check"}, written);
    unsetenv("LD_PRELOAD");
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    EXPECT_EQ(
        "0|Joined corp.example.\n|tslauth: attempt 1 of 8 failed; attempt 2 of 8, retrying in "
        "30 s\n",
        Shown(join));
    EXPECT_EQ(std::string::npos, sandbox::ReadFile(kDirectoryFile).find("\nbad-passwords"));
    EXPECT_NE(std::string::npos, sandbox::ReadFile(kDirectoryFile).find("busy-joins = 0\n"));

    EXPECT_EQ("0|" + kJoinedStatus + "|", Shown(RunTool({"status"})));
    EXPECT_EQ(
        "{\"active_store\": \"None\", \"domain\": {\"dns_name\": \"corp.example\", "
        "\"netbios_name\": \"CORP\"}, \"machine_account\": \"" +
            kAccountDN +
            "\", "
            "\"preferred_controllers\": [], \"trust_state\": 1, \"trust_state_name\": "
            "\"trusted\", \"trusted_domains\": ["
            "{\"dns_name\": \"lab.example\", \"netbios_name\": \"LAB\"}, "
            "{\"dns_name\": \"partner.example\", \"netbios_name\": \"PARTNER\"}], "
            "\"answers\": {\"configuration\": {\"source\": \"fresh\"}, \"trusted_domains\": "
            "{\"source\": \"fresh\"}, \"trust_state\": {\"source\": \"fresh\"}}, "
            "\"timed_out\": []}\n",
        RunTool({"status", "--json"}).out);

    EXPECT_EQ(
        "4|" + Error(SetupAlreadyJoinedException()),
        Failure(RunTool({"join", "lab.example", "--user", "labadmin", "--skip-hostname-check"},
                        "Lab-Passw0rd\n")));

    // Leaving with credentials checks them and deletes the computer account.
    EXPECT_EQ("4|" + Error(LogonFailureException()),
              Failure(RunTool({"leave", "--user", "administrator"}, "nope\n")));
    std::string const passwordFile = sandbox::ScratchDirectory() + "/password";
    sandbox::WriteFile(passwordFile, kPassword + "\n", 0600);
    EXPECT_EQ(
        "0|Left the domain.\n|",
        Shown(RunTool({"leave", "--user", "administrator", "--password-file", passwordFile})));
    EXPECT_FALSE(Joined());
    EXPECT_EQ(kNotJoinedStatus, RunTool({"status"}).out);
    EXPECT_EQ("4|" + Error(SetupNotJoinedException()), Failure(RunTool({"leave"})));

    // At the lockout threshold the account is locked out, the right password included.
    EditDirectory("lockout-threshold = 5", "lockout-threshold = 2");
    ToolResult locked;
    for (std::string const password : {"nope", "nope", kPassword.c_str()}) {
        locked = JoinCorp(password + "\n");
    }
    EXPECT_EQ("4|" + Error(AccountLockedOutException()), Failure(locked));

    EXPECT_EQ("6|tslauth: Cannot open '/nonexistent': No such file or directory\n",
              Failure(JoinCorp("", {"--password-file", "/nonexistent"})));
}

TEST_F(CliTest, JoinThroughTheProxy) {
    sandbox::WriteFile("/etc/ostrel/tslauth/qapservers.conf", "");
    sandbox::WriteFile("/etc/hosts", "127.0.0.1\tlocalhost\n192.0.2.10\tsandbox-host\n");
    sandbox::MakeDirectory("/etc/ostrel/hostctl");
    sandbox::WriteFile("/etc/ostrel/hostctl/advanced-options.conf",
                       "UserVars.ActiveDirectoryVerifyQAPCertificate = int:1\n");
    std::string const key = sandbox::ScratchDirectory() + "/proxy.key";
    ASSERT_EQ(0, std::system(("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=192.0.2.1 "
                              "-days 2 -keyout " +
                              key + " -out /etc/ostrel/tslauth/demo-proxy.pem 2>/dev/null")
                                 .c_str()));

    EXPECT_EQ("0|corp.example\n|", Shown(RunTool({"proxy-domain", "192.0.2.1"})));
    EXPECT_EQ("{\"server\": \"192.0.2.1\", \"domain\": \"corp.example\"}\n",
              RunTool({"proxy-domain", "192.0.2.1", "--json"}).out);
    EXPECT_EQ("4|" + Error(ConnectionRefusedException()),
              Failure(RunTool({"proxy-domain", "192.0.2.9"})));
    EXPECT_EQ(3, RunTool({"proxy-domain", "proxy.example"}).status);

    // Verification on, certificate not imported yet: refused.
    EXPECT_EQ("4|" + Error(InvalidQAPCertificateException()),
              Failure(RunTool({"join-proxy", "192.0.2.1", "--skip-hostname-check"})));
    EXPECT_FALSE(Joined());

    EXPECT_EQ(
        "0|Imported the certificate of 192.0.2.1 from /etc/ostrel/tslauth/demo-proxy.pem.\n|",
        Shown(RunTool({"import-certificate", "/etc/ostrel/tslauth/demo-proxy.pem", "192.0.2.1"})));
    EXPECT_EQ("0|Joined through the authentication proxy 192.0.2.1.\n|",
              Shown(RunTool({"join-proxy", "192.0.2.1", "--skip-hostname-check"})));
    EXPECT_EQ(kJoinedStatus, RunTool({"status"}).out);

    EXPECT_EQ("6|" + Error(FileNotFoundException()),
              Failure(RunTool({"import-certificate", "/nonexistent.pem", "192.0.2.1"})));
}

TEST_F(CliTest, PreflightReportsEachCheck) {
    sandbox::WriteFile("/etc/hosts",
                       "127.0.0.1\tlocalhost\n192.0.2.10\tsandbox-host.corp.example sandbox-host\n"
                       "192.0.2.20\tcorp.example\n");
    EXPECT_EQ(
        "0|pass  host name resolves: sandbox-host resolves to sandbox-host.corp.example\n"
        "pass  short name matches the resolved name: short name sandbox-host, resolved name "
        "sandbox-host.corp.example\n"
        "pass  host name is not reserved: short name sandbox-host\n"
        "pass  fully qualified name is the expected one: fully qualified name "
        "sandbox-host.corp.example, expected sandbox-host.corp.example\n"
        "pass  domain resolves: corp.example\n"
        "pass  short name fits a computer account name: sandbox-host (12 characters, at most "
        "15)\n|",
        Shown(RunTool({"preflight", "corp.example"})));
    ToolResult json = RunTool({"preflight", "corp.example", "--json"});
    EXPECT_EQ(0u, json.out.find("[{\"check\": \"host name resolves\", \"passed\": true, "
                                "\"detail\": \"sandbox-host resolves to "
                                "sandbox-host.corp.example\", \"hint\": \"\"},\n"));

    // A 16-character name would be cut by the directory; the unknown domain does not resolve.
    sandbox::SetHostName("sandbox-host-016");
    sandbox::WriteFile("/etc/hosts",
                       "127.0.0.1\tlocalhost\n192.0.2.10\tsandbox-host-016.lab.example "
                       "sandbox-host-016\n");
    std::string const before = sandbox::ReadFile("/etc/hosts");
    ToolResult bad = RunTool({"preflight", "corp.example"});
    EXPECT_EQ(1, bad.status);
    for (char const* fail :
         {"short name fits a computer account name: sandbox-host-016 (16 characters, at most "
          "15)\n      hint: shorten the host name",
          "domain resolves: corp.example\n",
          "fully qualified name is the expected one: fully qualified name "
          "sandbox-host-016.lab.example, expected sandbox-host-016.corp.example\n"}) {
        EXPECT_NE(std::string::npos, bad.out.find("FAIL  " + std::string(fail))) << bad.out;
    }
    EXPECT_EQ(before, sandbox::ReadFile("/etc/hosts"));
    EXPECT_EQ("nameserver 127.0.0.1\n", sandbox::ReadFile("/etc/resolv.conf"));
}

TEST_F(CliTest, UnresponsiveDirectoryTimesOut) {
    ASSERT_EQ(0, JoinCorp(kPassword + "\n").status);
    EditDirectory("unresponsive = no", "unresponsive = yes");
    ToolResult status = RunTool({"status", "--timeout", "1"});
    EXPECT_EQ(5, status.status);
    std::string timedOut = kNotJoinedStatus;
    timedOut.replace(timedOut.find("7 (not joined)"), 14, "2 (no answer in time)");
    for (char const* query : {"configuration", "trusted domains", "trust state"}) {
        timedOut += "Note: no answer to the " + std::string(query) +
                    " query within 1 s; shown is what this process had cached (nothing before "
                    "its first answer).\n";
    }
    EXPECT_EQ(timedOut, status.out);
    ToolResult json = RunTool({"status", "--json", "--timeout", "1"});
    EXPECT_EQ(5, json.status);
    std::string const cached = "{\"source\": \"cached after time-out\", \"timeout\": 1}";
    EXPECT_NE(std::string::npos,
              json.out.find("\"answers\": {\"configuration\": " + cached +
                            ", \"trusted_domains\": " + cached + ", \"trust_state\": " + cached +
                            "}, \"timed_out\": [\"configuration\", \"trusted domains\", \"trust "
                            "state\"]}\n"))
        << json.out;
    // Operations the library waits for without a time-out fail at once.
    EXPECT_EQ("4|" + Error(NoSuchDomainException()),
              Failure(RunTool({"leave", "--user", "administrator"}, kPassword)));
}

// The host-name repair a join makes is shown, on standard error and in --json; a host file
// that cannot be written is an I/O failure (6), not an internal one.
TEST_F(CliTest, JoinShowsWhatItChangedOnTheHost) {
    sandbox::MakeDirectory("/etc/ostrel/hostctl");
    sandbox::WriteFile("/etc/ostrel/hostctl/management-interface", "cmgmt0\n");
    ASSERT_EQ(0, std::system("ip link add cmgmt0 type veth peer name cmgmt1 && "
                             "ip addr add 192.0.2.10/24 dev cmgmt0 && ip link set cmgmt0 up"));
    // Gone again however the test ends; deleting one end takes its peer along.
    struct Link {
        ~Link() { EXPECT_EQ(0, std::system("ip link del cmgmt0")); }
    } const link;
    std::string const hosts =
        "127.0.0.1\tlocalhost\n198.51.100.5\tsandbox-host.lab.example sandbox-host\n"
        "192.0.2.20\tcorp.example\n";
    sandbox::WriteFile("/etc/hosts", hosts);
    std::string const warning =
        "The fully qualified hostname sandbox-host.lab.example does not match the expected "
        "value sandbox-host.corp.example";
    std::string const line = "192.0.2.10\tsandbox-host.lab.example sandbox-host";

    ToolResult join = JoinCorp(kPassword + "\n", {"--json"});
    EXPECT_EQ("0|{\"joined\": \"corp.example\", \"warnings\": [\"" + warning +
                  "\"], \"changes\": [{\"file\": \"/etc/resolv.conf\", \"search_domain_added\": "
                  "\"corp.example\"}, {\"file\": \"/etc/hosts\", \"line\": "
                  "\"192.0.2.10\\tsandbox-host.lab.example sandbox-host\"}]}\n|tslauth: warning: " +
                  warning +
                  "\ntslauth: changed /etc/resolv.conf: added corp.example to the DNS search "
                  "list\ntslauth: changed /etc/hosts: wrote the line \"" +
                  line + "\"\n",
              Shown(join));
    EXPECT_EQ(hosts + line + "\n", sandbox::ReadFile("/etc/hosts"));
    ASSERT_EQ(0, RunTool({"leave"}).status);

    // A read-only /etc: the warning still shows, then the host-control layer's own error.
    sandbox::WriteFile("/etc/hosts", hosts);
    sandbox::RemountReadOnly("/etc");
    ToolResult readOnly = JoinCorp(kPassword + "\n", {});
    EXPECT_EQ(6, readOnly.status);
    EXPECT_EQ(0u, readOnly.err.find("tslauth: warning: " + warning + "\ntslauth: "))
        << readOnly.err;
    EXPECT_NE(std::string::npos, readOnly.err.find("/etc/hosts")) << readOnly.err;
    EXPECT_EQ(hosts, sandbox::ReadFile("/etc/hosts"));
}
