// The tslauth command against the demo directory: joining, leaving, status, the proxy,
// preflight and time-outs.
#include <sys/stat.h>

#include <cstdlib>

#include "cli_fixture.h"

using namespace ostrel::authentication;

namespace {

std::string const kJoinedStatus =
    "Active store:          None\nDomain:                corp.example (CORP)\n"
    "Machine account:       CN=SANDBOX-HOST,CN=Computers,DC=corp,DC=example\n"
    "Preferred controllers: (none)\nTrust state:           1 (trusted)\n"
    "Trusted domains:       \n  lab.example (LAB)\n  partner.example (PARTNER)\n";
std::string const kNotJoinedStatus =
    "Active store:          None\nDomain:                (not joined)\n"
    "Machine account:       (none)\nPreferred controllers: (none)\n"
    "Trust state:           7 (not joined)\nTrusted domains:       (none)\n";

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

// tslauth join corp.example --user administrator, then the words, the input on standard input.
ToolResult JoinCorp(std::string const& input,
                    std::vector<std::string> words = {"--skip-hostname-check"},
                    std::function<void(pid_t)> const& started = nullptr) {
    words.insert(words.begin(), {"join", "corp.example", "--user", "administrator"});
    return RunTool(words, input, started);
}

}  // namespace

TEST_F(CliTest, JoinStatusAndLeave) {
    // A wrong password is never tried again: under a lockout policy that would lock the account.
    EXPECT_EQ("4||" + Error(LogonFailureException()), Shown(JoinCorp("demo-passw0rd\n")));
    EXPECT_NE(std::string::npos,
              sandbox::ReadFile(kDirectoryFile).find("\nbad-passwords = administrator 1\n"));
    for (std::string option : {std::string("--password"), "--password=" + kPassword}) {
        EXPECT_EQ(2, JoinCorp("", {option, kPassword}).status);  // no option takes a password
    }
    EXPECT_FALSE(Joined());
    ToolResult empty = JoinCorp("\n");  // refused by the library before the directory is asked
    EXPECT_EQ(3, empty.status);
    EXPECT_EQ(0u, empty.err.find("tslauth: ")) << empty.err;

    // The password from a pipe: the arguments, read while the command waits for it, hold none
    // of it. The directory is busy once: one line (no terminal) says which attempt comes next.
    EditDirectory("lockout-threshold", "busy-joins = 1\nlockout-threshold");
    std::string const fifo = sandbox::ScratchDirectory() + "/password-fifo";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    setenv("LD_PRELOAD", INSTANT_SLEEP, 1);
    std::string const asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
    std::vector<std::string> const words = {"--password-file", fifo, "--skip-hostname-check"};
    ToolResult join = JoinCorp("", words, [&](pid_t pid) {
        int const writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the tool
        ASSERT_GE(writer, 0);
        std::string expected = std::string(TSLAUTH_TOOL) + '\0' + "join" + '\0' + "corp.example" +
                               '\0' + "--user" + '\0' + "administrator" + '\0';
        for (std::string const& word : words) expected += word + '\0';
        EXPECT_EQ(expected, CommandLine(pid));
        std::string const lines = kPassword + "\nignored\n";
        EXPECT_EQ(static_cast<ssize_t>(lines.size()), ::write(writer, lines.data(), lines.size()));
        ::close(writer);
    });
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
        "\"netbios_name\": \"CORP\"}, \"machine_account\": "
        "\"CN=SANDBOX-HOST,CN=Computers,DC=corp,DC=example\", "
        "\"preferred_controllers\": [], \"trust_state\": 1, \"trust_state_name\": "
        "\"trusted\", \"trusted_domains\": ["
        "{\"dns_name\": \"lab.example\", \"netbios_name\": \"LAB\"}, "
        "{\"dns_name\": \"partner.example\", \"netbios_name\": \"PARTNER\"}], "
        "\"answers\": {\"configuration\": {\"source\": \"fresh\"}, \"trusted_domains\": "
        "{\"source\": \"fresh\"}, \"trust_state\": {\"source\": \"fresh\"}}, "
        "\"timed_out\": []}\n",
        RunTool({"status", "--json"}).out);

    // The directory stops answering: the queries time out and say so.
    EditDirectory("unresponsive = no", "unresponsive = yes");
    std::string timedOut = kNotJoinedStatus;
    timedOut.replace(timedOut.find("7 (not joined)"), 14, "2 (no answer in time)");
    for (char const* query : {"configuration", "trusted domains", "trust state"}) {
        timedOut += "Note: no answer to the " + std::string(query) +
                    " query within 1 s; shown is what this process had cached (nothing before "
                    "its first answer).\n";
    }
    EXPECT_EQ("5|" + timedOut + "|", Shown(RunTool({"status", "--timeout", "1"})));
    ToolResult json = RunTool({"status", "--json", "--timeout", "1"});
    std::string const cached = "{\"source\": \"cached after time-out\", \"timeout\": 1}";
    EXPECT_EQ(5, json.status);
    EXPECT_NE(std::string::npos,
              json.out.find("\"answers\": {\"configuration\": " + cached +
                            ", \"trusted_domains\": " + cached + ", \"trust_state\": " + cached +
                            "}, \"timed_out\": [\"configuration\", \"trusted domains\", \"trust "
                            "state\"]}\n"))
        << json.out;
    // Operations the library waits for without a time-out fail at once.
    EXPECT_EQ("4||" + Error(NoSuchDomainException()),
              Shown(RunTool({"leave", "--user", "administrator"}, kPassword)));
    EditDirectory("unresponsive = yes", "unresponsive = no");

    // Leaving with credentials checks them and deletes the computer account.
    EXPECT_EQ("4||" + Error(LogonFailureException()),
              Shown(RunTool({"leave", "--user", "administrator"}, "nope\n")));
    std::string const passwordFile = sandbox::ScratchDirectory() + "/password";
    sandbox::WriteFile(passwordFile, kPassword + "\n", 0600);
    EXPECT_EQ(
        "0|Left the domain.\n|",
        Shown(RunTool({"leave", "--user", "administrator", "--password-file", passwordFile})));
    EXPECT_FALSE(Joined());
    EXPECT_EQ(kNotJoinedStatus, RunTool({"status"}).out);
    EXPECT_EQ("4||" + Error(SetupNotJoinedException()), Shown(RunTool({"leave"})));
    EXPECT_EQ("6||tslauth: Cannot open '/nonexistent': No such file or directory\n",
              Shown(JoinCorp("", {"--password-file", "/nonexistent"})));
    // At the lockout threshold the account is locked out, the right password included.
    EditDirectory("lockout-threshold = 5", "lockout-threshold = 2");
    for (char const* wrong : {"nope\n", "nope\n"}) JoinCorp(wrong);
    EXPECT_EQ("4||" + Error(AccountLockedOutException()), Shown(JoinCorp(kPassword + "\n")));
}

TEST_F(CliTest, JoinThroughTheProxy) {
    sandbox::WriteFile("/etc/ostrel/tslauth/qapservers.conf", "");
    sandbox::WriteFile("/etc/hosts", "127.0.0.1\tlocalhost\n192.0.2.10\tsandbox-host\n");
    sandbox::MakeDirectory("/etc/ostrel/hostctl");
    sandbox::WriteFile("/etc/ostrel/hostctl/advanced-options.conf",
                       "UserVars.ActiveDirectoryVerifyQAPCertificate = int:1\n");
    std::string const pem = "/etc/ostrel/tslauth/demo-proxy.pem";
    ASSERT_EQ(0,
              std::system(("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=192.0.2.1 "
                           "-days 2 -keyout " +
                           sandbox::ScratchDirectory() + "/proxy.key -out " + pem + " 2>/dev/null")
                              .c_str()));

    EXPECT_EQ("0|corp.example\n|", Shown(RunTool({"proxy-domain", "192.0.2.1"})));
    EXPECT_EQ("{\"server\": \"192.0.2.1\", \"domain\": \"corp.example\"}\n",
              RunTool({"proxy-domain", "192.0.2.1", "--json"}).out);
    EXPECT_EQ("4||" + Error(ConnectionRefusedException()),
              Shown(RunTool({"proxy-domain", "192.0.2.9"})));
    EXPECT_EQ(3, RunTool({"proxy-domain", "proxy.example"}).status);
    // Verification on, certificate not imported yet: refused.
    EXPECT_EQ("4||" + Error(InvalidQAPCertificateException()),
              Shown(RunTool({"join-proxy", "192.0.2.1", "--skip-hostname-check"})));
    EXPECT_FALSE(Joined());
    EXPECT_EQ("0|Imported the certificate of 192.0.2.1 from " + pem + ".\n|",
              Shown(RunTool({"import-certificate", pem, "192.0.2.1"})));
    EXPECT_EQ("0|Joined through the authentication proxy 192.0.2.1.\n|",
              Shown(RunTool({"join-proxy", "192.0.2.1", "--skip-hostname-check"})));
    EXPECT_EQ(kJoinedStatus, RunTool({"status"}).out);
    EXPECT_EQ("6||" + Error(FileNotFoundException()),
              Shown(RunTool({"import-certificate", "/nonexistent.pem", "192.0.2.1"})));
}

// Each check with its detail, a failure with its hint; no file changes (the tour passes all).
TEST_F(CliTest, PreflightReportsEachCheck) {
    sandbox::SetHostName("sandbox-host-016");  // cut by the directory
    std::string const hosts =
        "127.0.0.1\tlocalhost\n192.0.2.10\tsandbox-host-016.lab.example sandbox-host-016\n";
    sandbox::WriteFile("/etc/hosts", hosts);
    EXPECT_EQ(
        "1|pass  host name resolves: sandbox-host-016 resolves to sandbox-host-016.lab.example\n"
        "pass  short name matches the resolved name: short name sandbox-host-016, resolved name "
        "sandbox-host-016.lab.example\npass  host name is not reserved: short name "
        "sandbox-host-016\nFAIL  fully qualified name is the expected one: fully qualified name "
        "sandbox-host-016.lab.example, expected sandbox-host-016.corp.example\n      hint: a join "
        "maps the management address to sandbox-host-016.lab.example in /etc/hosts and adds the "
        "domain to the DNS search list; set the host's name to sandbox-host-016.corp.example to "
        "avoid these changes\nFAIL  domain resolves: corp.example\n      hint: make corp.example "
        "resolvable: point /etc/resolv.conf at the domain's DNS servers\nFAIL  short name fits a "
        "computer account name: sandbox-host-016 (16 characters, at most 15)\n      hint: shorten "
        "the host name to at most 15 characters: longer names are cut, and hosts that share the "
        "first 15 share one computer account\n|",
        Shown(RunTool({"preflight", "corp.example"})));
    EXPECT_EQ(0u,
              RunTool({"preflight", "corp.example", "--json"})
                  .out.find("[{\"check\": \"host name resolves\", \"passed\": true, \"detail\": "
                            "\"sandbox-host-016 resolves to sandbox-host-016.lab.example\", "
                            "\"hint\": \"\"},\n"));
    EXPECT_EQ(hosts + "|nameserver 127.0.0.1\n",
              sandbox::ReadFile("/etc/hosts") + "|" + sandbox::ReadFile("/etc/resolv.conf"));
}

// The host-name repair is shown on standard error and in --json; an unwritable /etc is I/O (6).
TEST_F(CliTest, JoinShowsWhatItChangedOnTheHost) {
    sandbox::MakeDirectory("/etc/ostrel/hostctl");
    sandbox::WriteFile("/etc/ostrel/hostctl/management-interface", "cmgmt0\n");
    ASSERT_EQ(0, std::system("ip link add cmgmt0 type veth peer name cmgmt1 && "
                             "ip addr add 192.0.2.10/24 dev cmgmt0 && ip link set cmgmt0 up"));
    struct Link {  // deleting one end takes its peer along
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
    EXPECT_EQ("0|{\"joined\": \"corp.example\", \"warnings\": [\"" + warning +
                  "\"], \"changes\": [{\"file\": \"/etc/resolv.conf\", \"search_domain_added\": "
                  "\"corp.example\"}, {\"file\": \"/etc/hosts\", \"line\": "
                  "\"192.0.2.10\\tsandbox-host.lab.example sandbox-host\"}]}\n|tslauth: warning: " +
                  warning +
                  "\ntslauth: changed /etc/resolv.conf: added corp.example to the DNS search "
                  "list\ntslauth: changed /etc/hosts: wrote the line \"" +
                  line + "\"\n",
              Shown(JoinCorp(kPassword + "\n", {"--json"})));
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
