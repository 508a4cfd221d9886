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

TEST(PAMPolicyReading, TokensSpanLinesAndParametersBindToTheModuleLine) {
    EXPECT_TRUE(Read("").stacks().empty());
    EXPECT_EQ("#%PAM-1.0\n\n", Write(Read("#%PAM-1.0\n  # indented\n\n# only comments")));
    PAMPolicy policy = Read(
        "auth\n required pam_a.so x\n"
        "auth [success=ok   new_authtok_reqd=ok\ndefault=ignore] pam_x.so\n"
        "auth required pam_env.so # note\n");
    PAMStack const& auth = policy[PAMFacility::Auth];
    ASSERT_EQ(3u, auth.size());
    EXPECT_EQ(Words{"x"}, auth[0].parameters());
    EXPECT_EQ("[success=ok new_authtok_reqd=ok default=ignore]",
              static_cast<std::string>(auth[1].control()));
    EXPECT_EQ("pam_x.so", auth[1].module());
    EXPECT_EQ((Words{"#", "note"}), auth[2].parameters());
    EXPECT_EQ(auth.begin() + 2, auth.find("pam_env.so"));

    // Input without a final line feed is read completely and does not fail the stream.
    std::istringstream in("session optional pam_a.so b");
    PAMPolicy last("last");
    EXPECT_TRUE(static_cast<bool>(in >> last));
    EXPECT_EQ(Words{"b"}, last[PAMFacility::Session].front().parameters());
}

TEST(PAMPolicyReading, RejectsUnknownWordsKeepingEarlierStatements) {
    auto read = [](std::string const& text) { return [text](std::ostream&) { Read(text); }; };
    EXPECT_EQ("Invalid Control: ", Failure<InvalidControlException>(read("auth")));
    EXPECT_EQ("Invalid Control: [a b c", Failure<InvalidControlException>(read("auth [a\nb c")));
    EXPECT_EQ("Invalid Control: Required",
              Failure<InvalidControlException>(read("auth Required x")));
    EXPECT_EQ("Invalid Facility: AUTH", Failure<InvalidFacilityException>(read("AUTH required x")));
    EXPECT_EQ("Invalid Facility: -session",
              Failure<InvalidFacilityException>(read("-session optional pam_x.so")));
    EXPECT_EQ("Invalid Facility: @include",
              Failure<InvalidFacilityException>(read("@include common-auth")));

    PAMPolicy policy("kept");
    std::istringstream in("auth required pam_a.so\nbogus required pam_b.so\n");
    EXPECT_THROW(in >> policy, InvalidFacilityException);
    EXPECT_EQ(1u, policy[PAMFacility::Auth].size());
    std::string rest;
    std::getline(in, rest);
    EXPECT_EQ(" required pam_b.so", rest);
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
    PAMPolicy policy = Read("session required pam_a.so\naccount required");
    PAMStack& account = policy[PAMFacility::Account];
    ASSERT_EQ(1u, account.size());
    EXPECT_EQ("", account.front().module());
    auto write = [&policy](std::ostream& out) { out << policy; };
    EXPECT_EQ("Invalid Entry: the module is empty", Failure<InvalidEntryException>(write));
    account.front() = PAMEntry(PAMControl(PAMControl::Complex, "[a  b]"), "m");
    EXPECT_EQ("Invalid Control: [a  b]", Failure<InvalidControlException>(write));
    account.front() = PAMEntry(PAMControl(PAMControl::Complex, "[a] b]"), "m");
    EXPECT_EQ("Invalid Control: [a] b]", Failure<InvalidControlException>(write));
    account.front() = PAMEntry(PAMControl::Unset, "m");
    EXPECT_EQ("Invalid Control: 0", Failure<InvalidControlException>(write));
    account.front() = PAMEntry(PAMControl::Optional, "pam a.so");
    EXPECT_EQ("Invalid Entry: the module 'pam a.so' contains whitespace",
              Failure<InvalidEntryException>(write));
    account.front() = PAMEntry(PAMControl::Optional, "m");
    account.front().parameters().push_back("x\ny");
    EXPECT_EQ("Invalid Entry: the parameter 'x\ny' of the module 'm' contains whitespace",
              Failure<InvalidEntryException>(write));
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
        "session     required      /lib/security/$ISA/pam_limits.so\r\n",
        "#%PAM-1.0\n\n"
        "account\trequired\t/lib/security/$ISA/pam_unix.so\t\n"
        "account\t[default=bad success=ok user_unknown=ignore]\tpam_krb5.so\t\n\n"
        "auth\trequired\t/lib/security/$ISA/pam_env.so\t\n"
        "auth\tsufficient\t/lib/security/$ISA/pam_unix.so\tlikeauth nullok \n"
        "auth\trequisite\tpam_succeed_if.so\tuid >= 500 quiet \n\n"
        "password\trequisite\tpam_pwquality.so\ttry_first_pass retry=3 authtok_type= \n\n"
        "session\trequired\t/lib/security/$ISA/pam_limits.so\t\n\n");
}

// For every input the reader accepts, the written form reads back as an equal policy; the
// only policies the writer refuses are those holding an entry cut off after its control.
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
        }
        bool cutOff = false;
        for (auto const& stack : policy.stacks())
            cutOff |= stack.second.find("") != stack.second.end();
        if (cutOff) {
            ++refused;
            ASSERT_EQ("Invalid Entry: the module is empty",
                      Failure<InvalidEntryException>([&](std::ostream& out) { out << policy; }));
            continue;
        }
        ++accepted;
        std::string const written = Write(policy);
        ASSERT_TRUE(SamePolicy(policy, Read(written))) << input << "\n--\n" << written;
        ASSERT_EQ(written, Write(Read(written)));
    }
    EXPECT_GT(accepted, 1500);
    EXPECT_GT(refused, 20);
}
