#include <gtest/gtest.h>
#include <systemconfiguration/systemconfiguration.h>

#include <random>
#include <sstream>
#include <string>

using namespace SystemConfiguration;

namespace {

std::string Write(PAMPolicy const& policy) {
    std::ostringstream out;
    out << policy;
    return out.str();
}

PAMPolicy Read(std::string const& text) {
    PAMPolicy policy("test");
    std::istringstream in(text);
    in >> policy;
    return policy;
}

// The message of the E that the call throws; writes are checked to leave no output.
template <typename E, typename Call>
std::string Failure(Call call) {
    std::ostringstream out;
    try {
        call(out);
    } catch (E const& error) {
        return out.str() + error.what();
    }
    return "(no exception)";
}

typedef std::vector<std::string> Words;

// Stricter than PAMEntry equality: bracketed control texts must match too.
bool SamePolicy(PAMPolicy const& a, PAMPolicy const& b) {
    if (a.stacks().size() != b.stacks().size()) return false;
    for (auto x = a.stacks().begin(), y = b.stacks().begin(); x != a.stacks().end(); ++x, ++y) {
        if (!(x->first == y->first) || !(x->second.Facility() == y->second.Facility()) ||
            x->second.size() != y->second.size()) {
            return false;
        }
        for (std::size_t i = 0; i < x->second.size(); ++i) {
            if (!(x->second[i] == y->second[i]) ||
                !(x->second[i].control() == y->second[i].control())) {
                return false;
            }
        }
    }
    return true;
}

// Statements kept, comments and layout gone, and the canonical form is stable.
void ExpectRoundTrip(std::string const& input, std::string const& canonical) {
    EXPECT_EQ(canonical, Write(Read(input)));
    EXPECT_TRUE(SamePolicy(Read(input), Read(canonical)));
    EXPECT_EQ(canonical, Write(Read(canonical)));
}

}  // namespace

TEST(PAMControlAndFacility, ParseCompareAndPrint) {
    PAMControl required(std::string("required")), die(std::string("[default=die]"));
    EXPECT_TRUE(required == PAMControl::Required &&
                static_cast<std::string>(required) == "required");
    EXPECT_TRUE(die == PAMControl::Complex && static_cast<std::string>(die) == "[default=die]");
    EXPECT_FALSE(die == PAMControl(std::string("[default=ok]")));
    EXPECT_TRUE(die == std::string("[default=die]"));
    EXPECT_FALSE(required == std::string("[required]"));
    EXPECT_TRUE(PAMControl(std::string("[]")) == PAMControl::Complex);
    for (std::string bad : {"[", "Required", "", "[default=die"}) {
        EXPECT_EQ("Invalid Control: " + bad,
                  Failure<InvalidControlException>([&](std::ostream&) { PAMControl c(bad); }));
    }
    EXPECT_EQ("Invalid Control: 9", Failure<InvalidControlException>([](std::ostream& out) {
                  out << static_cast<std::string>(PAMControl(static_cast<PAMControl::Control>(9)));
              }));
    EXPECT_EQ("Invalid Facility: 0",
              Failure<InvalidFacilityException>([](std::ostream& out) { out << PAMFacility(); }));
    PAMFacility facility;
    EXPECT_EQ("session", static_cast<std::string>(facility = PAMFacility::Session));
    std::istringstream in("password");
    EXPECT_TRUE((in >> facility, facility == PAMFacility::Password));
}

// The written form of what was read, or the refusal's message. A refusal must leave the
// policy as it was (here: one session entry) and the stream failed.
std::string ReadResult(std::string const& text) {
    PAMPolicy policy("test");
    policy[PAMFacility::Session].push_back(PAMEntry(PAMControl::Optional, "kept.so"));
    std::string const before = Write(policy);
    std::istringstream in(text);
    try {
        in >> policy;
    } catch (std::exception const& error) {
        bool const untouched = Write(policy) == before && in.fail();
        return std::string(untouched ? "" : "(policy or stream changed) ") + error.what();
    }
    return in.fail() ? "(stream failed)" : Write(Read(text));
}

TEST(PAMPolicyReading, ReadsStatementsAsThePAMLibraryDoes) {
    std::string const header = "#%PAM-1.0\n\n";
    struct {
        std::string input;
        std::string result;  // written form, or the refusal
    } const cases[] = {
        {"", header},
        {"#%PAM-1.0\n  # indented\n\n# only comments", header},
        // Without a final line feed the last statement is read and the stream stays good.
        {"session optional pam_a.so b", header + "session\toptional\tpam_a.so\tb \n\n"},
        // A statement never takes its module from the next line.
        {"auth optional\nauth optional m.so A\n", "Invalid Entry: the module is empty"},
        {"auth\n required pam_a.so x\n", "Invalid Control: "},
        {"auth", "Invalid Control: "},
        // A backslash at the end of a line continues the statement; comment and blank lines
        // in between are skipped.
        {"auth optional m.so a \\\n  b\n", header + "auth\toptional\tm.so\ta b \n\n"},
        {"auth optional \\\n# c\n\n m.so\n", header + "auth\toptional\tm.so\t\n\n"},
        {"auth optional m.so a \\", "Invalid Entry: the input ends after a backslash"},
        {"auth optional m.so a\\ # c\n",
         "Invalid Entry: the line of the module 'm.so' would end with a backslash"},
        // Brackets never span a line break; with a backslash they are one control.
        {"auth [success=ok\n  default=ignore] m.so\n", "Invalid Control: [success=ok"},
        {"auth [success=ok   new_authtok_reqd=ok \\\n\tdefault=ignore] pam_x.so\n",
         header + "auth\t[success=ok new_authtok_reqd=ok default=ignore]\tpam_x.so\t\n\n"},
        {"auth [success=1 default=ignore]m.so\nauth required a.so\nauth required b.so\n",
         header + "auth\t[success=1 default=ignore]\tm.so\t\nauth\trequired\ta.so\t\n"
                  "auth\trequired\tb.so\t\n\n"},
        // "#" starts a comment wherever it stands, inside brackets too.
        {"session required pam_env.so # [1]\n", header + "session\trequired\tpam_env.so\t\n\n"},
        {"auth required m.so a#b c\n", header + "auth\trequired\tm.so\ta \n\n"},
        {"auth required m.so [a #b]\n",
         "Invalid Entry: the parameter '[a ' of the module 'm.so' does not close its brackets"},
        // A bracketed argument is one argument, its inner whitespace kept; "\]" does not close.
        {"auth required m.so [two  spaces] [tab\there]x [a\\]b]\n",
         header + "auth\trequired\tm.so\t[two  spaces] [tab\there] x [a\\]b] \n\n"},
        // A leading "-" is kept; words are read in any letter case.
        {"-session optional pam_systemd.so\n", header + "-session\toptional\tpam_systemd.so\t\n\n"},
        {"AUTH Optional m.so\nAccount REQUIRED n.so\n",
         header + "account\trequired\tn.so\t\n\nauth\toptional\tm.so\t\n\n"},
        {"[auth] required m.so\n", "Invalid Facility: [auth]"},
        {"-\trequired m.so\n", "Invalid Facility: -"},
        {"auth required m.so\n@include common-auth\n", "Invalid Facility: @include"},
        {"auth Required\tx\nbogus", "Invalid Facility: bogus"},
        {"auth sufficient\tx\nauth [a\nb c", "Invalid Control: [a"},
        // What the library would mangle: carriage returns, NULs, lines it cuts.
        {"session required pam_limits.so\r\n",
         "Invalid Entry: the module 'pam_limits.so\r' contains whitespace"},
        {std::string("auth required m.so\nauth required a\0b\n", 38),
         "Invalid Entry: a line holds a NUL character"},
        {"auth required m.so " + std::string(1001, 'x') + "\n",
         header + "auth\trequired\tm.so\t" + std::string(1001, 'x') + " \n\n"},
        {"auth required m.so " + std::string(1002, 'x') + "\n",
         "Invalid Entry: a statement is longer than 1021 characters"},
        {"auth required \\\n" + std::string(1010, ' ') + "m.so\n",
         "Invalid Entry: a statement is longer than 1021 characters"},
    };
    for (auto const& c : cases) EXPECT_EQ(c.result, ReadResult(c.input)) << c.input;

    PAMPolicy read = Read("-auth sufficient pam_a.so x\n");
    PAMEntry const& entry = read[PAMFacility::Auth].front();
    EXPECT_TRUE(entry.moduleMayBeMissing() && PAMEntry(entry).moduleMayBeMissing());
}

TEST(PAMPolicyWriting, CanonicalFormAccountFirst) {
    PAMPolicy policy("system-auth");
    PAMEntry zodad(PAMControl::Sufficient, "/lib/security/$ISA/pam_zodad.so");
    zodad.parameters() = Words{"a", "b"};
    policy[PAMFacility::Auth].push_back(zodad);
    policy[PAMFacility::Account].push_back(PAMEntry(PAMControl::Required, "pam_unix.so"));
    policy[PAMFacility::Session];
    EXPECT_EQ(
        "#%PAM-1.0\n\naccount\trequired\tpam_unix.so\t\n\n"
        "auth\tsufficient\t/lib/security/$ISA/pam_zodad.so\ta b \n\n\n",
        Write(policy));
    EXPECT_EQ(policy[PAMFacility::Auth].end(), policy[PAMFacility::Auth].find("pam_zodad.so"));
    PAMEntry die(PAMControl(std::string("[default=die]")), "m");
    EXPECT_TRUE(die == PAMEntry(PAMControl(std::string("[default=ok]")), "m"));
    EXPECT_FALSE(die == PAMEntry(PAMControl::Required, "m"));
}

// Anything the reader would take for something else is refused before a byte is written.
TEST(PAMPolicyWriting, RefusesEntriesThatWouldReadBackDifferently) {
    PAMPolicy policy = Read("session required pam_a.so\naccount required m");
    PAMStack& account = policy[PAMFacility::Account];
    account.front() = PAMEntry(PAMControl::Required, "");
    auto write = [&policy](std::ostream& out) { out << policy; };
    EXPECT_EQ("Invalid Entry: the module is empty", Failure<InvalidEntryException>(write));
    for (std::string bad : {"[a] b]", "[a\\]", "[a\nb]", "[a #b]", "[a"}) {
        account.front() = PAMEntry(PAMControl(PAMControl::Complex, bad), "m");
        EXPECT_EQ("Invalid Control: " + bad, Failure<InvalidControlException>(write));
    }
    account.front() = PAMEntry(PAMControl::Unset, "m");
    EXPECT_EQ("Invalid Control: 0", Failure<InvalidControlException>(write));
    account.front() = PAMEntry(PAMControl::Optional, "pam a.so");
    EXPECT_EQ("Invalid Entry: the module 'pam a.so' contains whitespace",
              Failure<InvalidEntryException>(write));
    account.front() = PAMEntry(PAMControl::Optional, "m");
    account.front().parameters().push_back("x\ny");
    EXPECT_EQ("Invalid Entry: the parameter 'x\ny' of the module 'm' contains whitespace",
              Failure<InvalidEntryException>(write));
    account.front().parameters().front() = "[a b]c";
    EXPECT_EQ(
        "Invalid Entry: the parameter '[a b]c' of the module 'm' does not close its "
        "brackets at its end",
        Failure<InvalidEntryException>(write));
    account.front().parameters().front() = "a#b";
    EXPECT_EQ("Invalid Entry: the parameter 'a#b' of the module 'm' contains '#'",
              Failure<InvalidEntryException>(write));
    account.front().parameters().front() = "a\\";
    EXPECT_EQ("Invalid Entry: the line of the module 'm' would end with a backslash",
              Failure<InvalidEntryException>(write));
    account.front().parameters().push_back("[x  y]");  // not last any more, and one field
    EXPECT_EQ(
        "#%PAM-1.0\n\naccount\toptional\tm\ta\\ [x  y] \n\n"
        "session\trequired\tpam_a.so\t\n\n",
        Write(policy));
    account.front().parameters().front() = "";
    EXPECT_EQ("Invalid Entry: a parameter of the module 'm' is empty",
              Failure<InvalidEntryException>(write));
    account.clear();
    policy[PAMFacility::Session] = PAMStack();  // entries under a stack without facility
    policy[PAMFacility::Session].push_back(PAMEntry(PAMControl::Optional, "m"));
    EXPECT_EQ("Invalid Facility: 0", Failure<InvalidFacilityException>(write));
}

TEST(PAMPolicyFiles, DebianAndRhelStyleFilesRoundTrip) {
    ExpectRoundTrip(
        "#\n# Authentication settings common to all services\n#\n"
        "auth\t[success=2 default=ignore]\tpam_unix.so nullok\n"
        "auth\t[success=1 default=ignore]\tpam_sss.so use_first_pass\n"
        "# here's the fallback if no module succeeds\n"
        "auth\trequisite\t\t\tpam_deny.so\n"
        "account\t[success=1 new_authtok_reqd=done default=ignore]\tpam_unix.so \n"
        "password\t[success=1 default=ignore]\tpam_unix.so obscure use_authtok yescrypt\n"
        "session\t[default=1]\t\t\tpam_permit.so\n"
        "session optional\t\t\tpam_umask.so\n",
        "#%PAM-1.0\n\n"
        "account\t[success=1 new_authtok_reqd=done default=ignore]\tpam_unix.so\t\n\n"
        "auth\t[success=2 default=ignore]\tpam_unix.so\tnullok \n"
        "auth\t[success=1 default=ignore]\tpam_sss.so\tuse_first_pass \n"
        "auth\trequisite\tpam_deny.so\t\n\n"
        "password\t[success=1 default=ignore]\tpam_unix.so\tobscure use_authtok yescrypt \n\n"
        "session\t[default=1]\tpam_permit.so\t\n"
        "session\toptional\tpam_umask.so\t\n\n");
    ExpectRoundTrip(
        "#%PAM-1.0\n# This file is generated; local changes are lost.\n"
        "auth        required      /lib/security/$ISA/pam_env.so\n"
        "auth        sufficient    /lib/security/$ISA/pam_unix.so likeauth nullok\n"
        "auth        requisite     pam_succeed_if.so uid >= 500 quiet\n\n"
        "account     required      /lib/security/$ISA/pam_unix.so\n"
        "account     [default=bad success=ok user_unknown=ignore] pam_krb5.so\n\n"
        "password    requisite     pam_pwquality.so try_first_pass retry=3 authtok_type=\n\n"
        "session     required      /lib/security/$ISA/pam_limits.so\n"
        "-session    optional      pam_systemd.so\n",
        "#%PAM-1.0\n\n"
        "account\trequired\t/lib/security/$ISA/pam_unix.so\t\n"
        "account\t[default=bad success=ok user_unknown=ignore]\tpam_krb5.so\t\n\n"
        "auth\trequired\t/lib/security/$ISA/pam_env.so\t\n"
        "auth\tsufficient\t/lib/security/$ISA/pam_unix.so\tlikeauth nullok \n"
        "auth\trequisite\tpam_succeed_if.so\tuid >= 500 quiet \n\n"
        "password\trequisite\tpam_pwquality.so\ttry_first_pass retry=3 authtok_type= \n\n"
        "session\trequired\t/lib/security/$ISA/pam_limits.so\t\n"
        "-session\toptional\tpam_systemd.so\t\n\n");
}

// For every input the reader accepts, the written form reads back as an equal policy.
TEST(PAMPolicyFiles, AcceptedInputsRoundTrip) {
    static char const* const kFacilities[] = {"auth", "account", "password", "session"};
    static char const* const kControls[] = {"required",   "requisite", "sufficient",    "optional",
                                            "include",    "substack",  "[default=die]", "[]",
                                            "[success=1", "[",         "Required"};
    static char const* const kInside[] = {"a=b", "#", "=", "x", "ok]", "]", "die]"};
    static char const* const kWords[] = {
        "pam_unix.so", "/lib/security/$ISA/pam_access.so", "#", "[x", "y]", "=", "a=b", "[a=b]",
        "nullok"};
    static char const* const kGaps[] = {" ", "\t", " \t ", "\n", "\r\n ", "\n# c\n"};
    static char const* const kEnds[] = {"\n", "\r\n", " \n", "\t# c d\n", "\n\n", "\n #%PAM\n"};
    std::mt19937 random(20240611);
    auto pick = [&random](auto const& words) {
        return std::string(words[random() % (sizeof words / sizeof words[0])]);
    };
    auto gap = [&]() { return random() % 4 ? std::string(" ") : pick(kGaps); };
    int accepted = 0, refused = 0;
    for (int round = 0; round < 4000; ++round) {
        std::string input;
        for (unsigned statements = 1 + random() % 5; statements > 0; --statements) {
            input += random() % 50 ? pick(kFacilities) : "-auth";
            input += gap() + pick(kControls);
            for (unsigned n = random() % 3; n > 0; --n) input += gap() + pick(kInside);
            if (statements == 1 && random() % 10 == 0) break;  // cut off after the control
            input += gap() + pick(kWords);
            for (unsigned n = random() % 4; n > 0; --n) input += " \t"[n % 2] + pick(kWords);
            input += pick(kEnds);
        }
        PAMPolicy policy("generated");
        try {
            policy = Read(input);
        } catch (InvalidControlException const&) {
            continue;
        } catch (InvalidFacilityException const&) {
            continue;
        } catch (InvalidEntryException const&) {
            ++refused;
            continue;
        }
        ++accepted;
        std::string const written = Write(policy);
        ASSERT_TRUE(SamePolicy(policy, Read(written))) << input << "\n--\n" << written;
        ASSERT_EQ(written, Write(Read(written)));
    }
    EXPECT_GT(accepted, 400);
    EXPECT_GT(refused, 20);
}
