// Files run through the models and back, judged by the machine's own PAM library and C
// library: the rewritten file must make them do exactly what the original did.
#include <gtest/gtest.h>
#include <sandbox.h>
#include <sys/wait.h>
#include <systemconfiguration/systemconfiguration.h>

#include <cstdio>
#include <sstream>
#include <string>

#ifdef TSLAUTH_TEST_PAM
#include "pam_judge.h"
#endif

using namespace SystemConfiguration;

namespace {

template <typename Model>
std::string Rewrite(std::string const& text, Model model) {
    std::istringstream in(text);
    in >> model;
    std::ostringstream out;
    out << model;
    return out.str();
}

// Output and exit status of a shell command; the child inherits the test's namespaces.
std::string RunShell(std::string const& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return "(popen failed)";
    char buffer[512];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
    int const status = ::pclose(pipe);
    return output + "status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

class JudgedBySystem : public sandbox::SandboxTest {};

#ifdef TSLAUTH_TEST_PAM

std::string Replace(std::string text, std::string const& from, std::string const& to) {
    for (std::string::size_type at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// "@" stands for the recorder (pam_judge::Recorder).
TEST_F(JudgedBySystem, PAMFilesRewrittenBehaveAsWritten) {
    std::string const recorder = pam_judge::Recorder();
    char const* const files[] = {
        "auth optional @ a \\\n  b\nauth required @ c\n",
        "auth [success=ok \\\n  default=ignore] @ no1\nauth required @ d\n",
        "auth [success=1 default=ignore]@ x\nauth required @ no2\nauth required @ e\n",
        "session required @ s # [1] more\naccount required @ [two  spaces] [tab\there] f#g\n",
        "-session optional pam_missing_for_test.so\n-auth optional @ q\nsession required @ s\n",
        "AUTH Optional @ u\nauth REQUISITE @ no3\nauth required @ never\naccount Sufficient @ a\n",
        // Debian's generated layout.
        "auth\t[success=2 default=ignore]\t@ no4\nauth\t[success=1 default=ignore]\t@ ok5\n"
        "auth\trequisite\t\t\tpam_deny.so\nauth\trequired\t\t\tpam_permit.so\n"
        "account\t[success=1 new_authtok_reqd=done default=ignore]\t@ acct\n"
        "account\trequisite\t\t\tpam_deny.so\naccount\trequired\t\t\tpam_permit.so\n"
        "password\t[success=1 default=ignore]\t@ obscure yescrypt\n"
        "password\trequisite\t\t\tpam_deny.so\n"
        "session\t[default=1]\t\t\tpam_permit.so\nsession\trequisite\t\t\tpam_deny.so\n"
        "session\trequired\t\t\tpam_permit.so\nsession optional\t\t\t@ umask\n",
        // A RHEL-style profile.
        "#%PAM-1.0\nauth        required      pam_env.so\nauth        sufficient    @ no6\n"
        "auth        sufficient    @ unix likeauth nullok\nauth        required      pam_deny.so\n"
        "account     required      @ acct\npassword    requisite     @ no7 retry=3\n"
        "session     optional      pam_keyinit.so revoke\n"
        "-session     optional      pam_systemd_missing.so\nsession     required      @ s\n",
    };
    for (std::string file : files) {
        file = Replace(file, "@", recorder);
        std::string const rewritten = Rewrite(file, PAMPolicy("judged"));
        std::string const original =
            pam_judge::Run(sandbox::ScratchDirectory() + "/original", file);
        EXPECT_EQ(original, pam_judge::Run(sandbox::ScratchDirectory() + "/rewritten", rewritten))
            << file << "--\n"
            << rewritten;
        EXPECT_NE(std::string::npos, original.find('|')) << "nothing ran: " << file;
    }
    // What the model cannot carry is refused, leaving the stream failed.
    for (std::string file :
         {"auth optional\nauth optional @ A\n", "auth [success=ok\n  default=ignore] @ x\n",
          "@include common-auth\n", "auth required @ [open\n"}) {
        PAMPolicy policy("judged");
        std::istringstream in(file);
        EXPECT_ANY_THROW(in >> policy) << file;
        EXPECT_TRUE(in.fail() && policy.stacks().empty()) << file;
    }
}

#endif

// The C library's answers for passwd, group and gshadow of root with the original and the
// rewritten switch file ("dns" serves neither, so it stands for a source that is unavailable).
TEST_F(JudgedBySystem, NSSFilesRewrittenBehaveAsWritten) {
    auto judge = [](std::string const& file) {
        sandbox::WriteFile("/etc/nsswitch.conf", file);
        return RunShell(
            "getent passwd root 2>&1; getent group root 2>&1; getent gshadow root 2>&1");
    };
    char const* const files[] = {
        "passwd: files\npasswd: dns\n",
        "passwd:dns\ngroup : dns\n",
        "passwd dns\n",
        "group: files\ngshadow: dns\n",
        "passwd: dns  [!UNAVAIL=return] files\ngroup: dns[UNAVAIL=return]files\n",
        "passwd: dns [!UNAVAIL=return]files [ notfound = return ]\n",
        "passwd: files [a b]\ngroup: files\n",
        "passwd: files [SUCCESS=return\n",
        "passwd: dns # files\ngroup:\n",
        "passwd: [NOTFOUND=return] files\n",
        "# comment\n  passwd: files\ninitgroups: files\nsudoers: files\ngshadow: files\n"
        "gshadow: dns\n",
    };
    for (std::string const file : files) {
        std::string const rewritten = Rewrite(file, NSSConfiguration());
        std::string const original = judge(file);
        EXPECT_EQ(original, judge(rewritten)) << file << "--\n" << rewritten;
    }
}

}  // namespace
