// tslauth: the command-line front end over libtslauth. Each subcommand is a thin layer over
// one or a few calls of the public classes; errors are the library's own messages.
#include <iostream>
#include <string>
#include <vector>

#include "arguments.h"
#include "commands.h"
#include "exit_codes.h"

namespace tslauth {

namespace {

OptionRules Options(std::set<std::string> flags, std::set<std::string> valued = {}) {
    flags.insert("help");
    return OptionRules{flags, valued};
}

char const kExitCodes[] =
    "Exit status:\n"
    "  0   success\n"
    "  1   preflight: at least one check failed\n"
    "  2   usage error: unknown command or option, missing or extra argument\n"
    "  3   invalid input: the library refused a name, address, credential or file\n"
    "  4   directory failure: another error of the directory or its plug-in\n"
    "  5   time-out: the directory did not answer in time (status: cached answers shown)\n"
    "  6   I/O error: a file is missing or could not be read or written\n"
    "  7   credentials refused: wrong user name or password, account locked out, disabled\n"
    "      or its password expired\n"
    "  8   domain unreachable: no domain controller found, or none answered\n"
    "  9   membership: already joined, not joined, or the computer account exists\n"
    "  70  internal error\n";

char const kPasswordNote[] =
    "The password is read from --password-file FILE (its first line), else from a prompt\n"
    "without echo when standard input is a terminal, else from the first line of standard\n"
    "input. It is never taken from the command line.\n";

char const kChangesNote[] =
    "Each file and service it changes on the host is printed on standard error as\n"
    "\"tslauth: changed: ...\", also when it then fails; with --json the output's\n"
    "\"changes\" lists them (after a failure standard output holds only that list).\n";

int Help(Arguments const&);

}  // namespace

std::vector<Command> const& Commands() {
    static std::vector<Command> const commands = {
        {"stores", "stores [--json]",
         "Lists the registered authentication stores; the active one is marked '*'.\n",
         Options({"json"}), Stores},
        {"activate", "activate NAME [--json]",
         std::string(
             "Makes the store NAME (\"None\" or \"Active Directory\") the active one.\n"
             "Activating \"Active Directory\" adds its PAM module, and the login-permission\n"
             "check of permit, to /etc/pam.d/system-auth-generic; activating \"None\" takes\n"
             "them out again.\n") +
             kChangesNote,
         Options({"json"}), Activate},
        {"status", "status [--json] [--timeout SECONDS]",
         "Shows the active store, who may log in (see permit), the joined domain, the\n"
         "preferred domain controllers, the machine account, the trust state (with its name)\n"
         "and the trusted domains. The membership queries wait at the same time, together at\n"
         "most SECONDS (default 60) for the directory. A query that gets no answer in time, or\n"
         "fails, shows what this process had cached and says so (or its error); the exit\n"
         "status is then 5 after a time-out, else 4 after a failure.\n",
         Options({"json"}, {"timeout"}), Status},
        {"join",
         "join DOMAIN[/CONTAINER] --user NAME [--password-file FILE] [--server DC] "
         "[--skip-hostname-check] [--reuse-account] [--json]",
         std::string("Joins the host to DOMAIN with an account allowed to add computers; the\n"
                     "computer account goes into CONTAINER, or the domain's default. The\n"
                     "host-name checks (see preflight) are skipped with --skip-hostname-check;\n"
                     "each of their warnings is printed on standard error (and with --json in\n"
                     "the output). A wrong password is not tried again; a transient failure is,\n"
                     "up to 8 attempts 30 s apart. On a terminal an elapsed-time line shows\n"
                     "while the join runs, and which attempt comes next while it waits.\n"
                     "A computer account of the host's name that the domain already has is\n"
                     "refused; with --reuse-account the join takes it over (resetting its\n"
                     "password) when it is a computer account: use it only when it is this\n"
                     "host's own, e.g. after a leave without --user.\n"
                     "With --server the join makes the account on the domain controller DC\n"
                     "when it answers (else on any), and DC stays the preferred one (see dcs).\n") +
             kChangesNote + kPasswordNote,
         Options({"skip-hostname-check", "reuse-account", "json"},
                 {"user", "password-file", "server"}),
         Join},
        {"dcs", "dcs [DC... | --clear] [--json]",
         std::string(
             "Shows the preferred domain controllers; with DC names (or addresses), makes them\n"
             "the preferred ones, in that order, and with --clear, none. Joins, leaves, lookups\n"
             "and logins then go to the first of them that answers, else to any DC of the\n"
             "domain.\n") +
             kChangesNote,
         Options({"clear", "json"}), DomainControllers},
        {"leave", "leave [--user NAME [--password-file FILE]] [--json]",
         std::string("Leaves the domain. With --user the computer account is deleted too, with\n"
                     "that account's password; without, it stays in the domain (a note says so)\n"
                     "and a later join of this host needs --reuse-account.\n") +
             kChangesNote + kPasswordNote,
         Options({"json"}, {"user", "password-file"}), Leave},
        {"proxy-domain", "proxy-domain SERVER [--json]",
         "Prints the DNS domain that the authentication proxy at SERVER serves (asked\n"
         "without certificate verification). SERVER: an IPv4 address or a host name, either\n"
         "perhaps with :9443.\n",
         Options({"json"}), ProxyDomain},
        {"import-certificate", "import-certificate FILE SERVER",
         "Records the SHA-1 thumbprint of the first PEM certificate in FILE for the\n"
         "authentication proxy at SERVER (for each IPv4 address of a host name).\n",
         Options({}), ImportCertificate},
        {"join-proxy", "join-proxy SERVER [--container C] [--skip-hostname-check] [--json]",
         "Joins the domain through the authentication proxy at SERVER: the proxy creates\n"
         "the computer account (in container C, or its default) and the host joins with it.\n"
         "The proxy's certificate is verified when\n"
         "UserVars.ActiveDirectoryVerifyQAPCertificate is 1 (when 0, a warning says so).\n"
         "Warnings and changes to the host's files are shown as for join.\n",
         Options({"skip-hostname-check", "json"}, {"container"}), JoinProxy},
        {"preflight", "preflight DOMAIN [--json]",
         "Runs the checks a join to DOMAIN would make, changing nothing: the host name\n"
         "resolves, its short name matches the resolved name and is not reserved, the fully\n"
         "qualified name is the expected one, the domain resolves, and the short name fits\n"
         "the 15 characters of a computer account name. Each check prints pass or FAIL, and\n"
         "a failure a hint on what to fix. The exit status is 1 when a check fails.\n",
         Options({"json"}), Preflight},
        {"permit", "permit [--all | --users NAME... | --groups NAME...] [--json]",
         "Sets which directory users may log in: --all (the default) lets every user of the\n"
         "domain in; --users and --groups only the users named and the members of the groups\n"
         "named, replacing the list. Without an option it shows the list. Local accounts are\n"
         "never restricted. Each name is looked up in the directory (waiting at most 30 s)\n"
         "and an unknown name is refused; when the directory cannot be asked the name is kept\n"
         "as given, with a warning. The list is kept in\n"
         "/etc/ostrel/tslauth/login-permissions.conf and checked at every login by\n"
         "pam_tslauth_permit.so in the account stack of /etc/pam.d/system-auth-generic; each\n"
         "file changed is printed on standard error (and with --json in the output).\n",
         Options({"all", "users", "groups", "json"}), Permit},
        {"pam show", "pam show [--json]",
         "Prints the policy of /etc/pam.d/system-auth-generic as the library reads it.\n",
         Options({"json"}), PamShow},
        {"pam preview", "pam preview [--json]",
         "Shows, as a unified diff, what activating \"Active Directory\" would change in\n"
         "/etc/pam.d/system-auth-generic. Nothing is written.\n",
         Options({"json"}), PamPreview},
        {"help", "help [COMMAND]", "Shows the help of tslauth or of one command.\n", Options({}),
         Help},
    };
    return commands;
}

namespace {

void Overview(std::ostream& out) {
    out << "Usage: tslauth COMMAND [ARGUMENTS]\n\n"
           "Drives the host's remote authentication: the active store, Active Directory\n"
           "membership, the authentication proxy and the PAM configuration.\n\nCommands:\n";
    for (Command const& command : Commands()) out << "  tslauth " << command.synopsis << "\n";
    out << "\n'tslauth COMMAND --help' describes one command. Queries take --json for\n"
           "scripts. Errors go to standard error: what failed and what to do next, then the\n"
           "provider's status and, where it has them, the provider's own words.\n\n"
        << kExitCodes;
}

Command const* Find(std::string const& name) {
    for (Command const& command : Commands()) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

void CommandHelp(Command const& command) {
    std::cout << "Usage: tslauth " << command.synopsis << "\n\n"
              << command.description << "\n"
              << kExitCodes;
}

int Help(Arguments const& arguments) {
    arguments.ExpectPositionals(0, 2);
    if (arguments.Positionals().empty()) {
        Overview(std::cout);
        return kSuccess;
    }
    std::string name = arguments.Positionals()[0];
    if (arguments.Positionals().size() == 2) name += " " + arguments.Positionals()[1];
    Command const* command = Find(name);
    if (command == nullptr) throw UsageError("unknown command '" + name + "'");
    CommandHelp(*command);
    return kSuccess;
}

int Run(std::vector<std::string> words) {
    if (words.empty()) throw UsageError("no command given");
    if (words[0] == "--help" || words[0] == "-h") words[0] = "help";
    std::string name = words[0];
    std::size_t taken = 1;
    if (name == "pam") {
        if (words.size() < 2 || words[1] == "--help") {
            std::cout << "Usage: tslauth pam show [--json]\n"
                         "       tslauth pam preview [--json]\n";
            return words.size() < 2 ? kUsage : kSuccess;
        }
        name += " " + words[1];
        taken = 2;
    }
    Command const* command = Find(name);
    if (command == nullptr) throw UsageError("unknown command '" + name + "'");
    CurrentErrorContext().command = name;
    Arguments const arguments(std::vector<std::string>(words.begin() + taken, words.end()),
                              command->options);
    if (arguments.Flag("help")) {
        CommandHelp(*command);
        return kSuccess;
    }
    return command->run(arguments);
}

}  // namespace

}  // namespace tslauth

int main(int argc, char** argv) {
    try {
        return tslauth::Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (tslauth::UsageError const& e) {
        std::cerr << "tslauth: " << e.what() << "\n";
        std::cerr << "Try 'tslauth --help'.\n";
        return tslauth::kUsage;
    } catch (std::exception const& e) {
        std::cerr << "tslauth: " << tslauth::Explain(e, tslauth::CurrentErrorContext()) << "\n";
        return tslauth::ExitCodeFor(e);
    }
}
