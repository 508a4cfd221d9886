// The PAM and name-service models: exact bytes written, what is read and refused.
#include <gtest/gtest.h>
#include <systemconfiguration/systemconfiguration.h>

#include <functional>
#include <sstream>
#include <string>

using namespace SystemConfiguration;

namespace {

template <typename Model>
std::string Write(Model const& model) {
    std::ostringstream out;
    out << model;
    return out.str();
}

template <typename Model = PAMPolicy>
Model Read(std::string const& text, Model model = Model("test")) {
    std::istringstream in(text);
    in >> model;
    return model;
}

// What was written, then the refusal's message.
std::string Refusal(std::function<void(std::ostream&)> const& call) {
    std::ostringstream out;
    try {
        call(out);
    } catch (std::exception const& error) {
        return out.str() + error.what();
    }
    return "(no exception) " + out.str();
}

PAMEntry Entry(PAMControl const& control, std::string const& module,
               std::vector<std::string> const& parameters = {}) {
    PAMEntry entry(control, module);
    entry.parameters() = parameters;
    return entry;
}

}  // namespace

TEST(PAMPolicyWords, ControlsFacilitiesAndEntries) {
    PAMControl required(std::string("required")), die(std::string("[default=die]"));
    EXPECT_TRUE(required == PAMControl::Required && die == PAMControl::Complex &&
                die == std::string("[default=die]") && !(required == std::string("[required]")) &&
                !(die == PAMControl(std::string("[default=ok]"))) &&
                PAMControl(std::string("[]")) == PAMControl::Complex);
    for (std::string bad : {"[", "Required", "", "[default=die"}) {
        EXPECT_EQ("Invalid Control: " + bad, Refusal([&](std::ostream&) { PAMControl{bad}; }));
    }
    // Entries compare by control kind and module; a stack finds modules by their exact text.
    EXPECT_TRUE(Entry(die, "m") == Entry(PAMControl(std::string("[default=ok]")), "m"));
    EXPECT_FALSE(Entry(die, "m") == Entry(PAMControl::Required, "m"));
    PAMPolicy policy("system-auth");
    policy[PAMFacility::Auth].push_back(Entry(PAMControl::Sufficient, "/lib/pam_z.so", {"a", "b"}));
    policy[PAMFacility::Account].push_back(Entry(PAMControl::Required, "pam_unix.so"));
    policy[PAMFacility::Session];  // an empty stack is an empty paragraph
    EXPECT_EQ(
        "#%PAM-1.0\n\naccount\trequired\tpam_unix.so\t\n\nauth\tsufficient\t/lib/pam_z.so\ta b "
        "\n\n\n",
        Write(policy));
    EXPECT_EQ(policy[PAMFacility::Auth].end(), policy[PAMFacility::Auth].find("pam_z.so"));
}

// The written form of what was read, or the refusal, which leaves the policy as it was.
TEST(PAMPolicyReading, ReadsStatementsAsThePAMLibraryDoes) {
    std::string const header = "#%PAM-1.0\n\n";
    struct {
        std::string input;
        std::string result;  // written form, or the refusal
    } const cases[] = {
        // Without a final line feed the last statement is read and the stream stays good.
        {"session optional pam_a.so b", header + "session\toptional\tpam_a.so\tb \n\n"},
        // A statement never takes its module from the next line.
        {"auth optional\nauth optional m.so A\n", "Invalid Entry: the module is empty"},
        {"auth\n required pam_a.so x\n", "Invalid Control: "},
        // A trailing backslash continues the statement over comment and blank lines.
        {"auth optional m.so a \\\n  b\nauth optional \\\n# c\n\n m.so\n",
         header + "auth\toptional\tm.so\ta b \nauth\toptional\tm.so\t\n\n"},
        {"auth optional m.so a \\", "Invalid Entry: the input ends after a backslash"},
        {"auth optional m.so a\\ # c\n",
         "Invalid Entry: the line of the module 'm.so' would end with a backslash"},
        // Brackets never span a line break; with a backslash they are one control.
        {"auth [success=ok\n  default=ignore] m.so\n", "Invalid Control: [success=ok"},
        {"auth [success=ok   new_authtok_reqd=ok \\\n\tdefault=ignore] pam_x.so\n"
         "auth [success=1 default=ignore]m.so\n",
         header + "auth\t[success=ok new_authtok_reqd=ok default=ignore]\tpam_x.so\t\n"
                  "auth\t[success=1 default=ignore]\tm.so\t\n\n"},
        // "#" starts a comment anywhere, even in brackets; "[a  b]" is one argument; "\]" stays.
        {"session required pam_env.so # [1]\nauth required m.so a#b c\n"
         "auth required m.so [two  spaces] [tab\there]x [a\\]b]\n",
         header + "auth\trequired\tm.so\ta \nauth\trequired\tm.so\t[two  spaces] [tab\there] x "
                  "[a\\]b] \n\nsession\trequired\tpam_env.so\t\n\n"},
        {"auth required m.so [a #b]\n",
         "Invalid Entry: the parameter '[a ' of the module 'm.so' does not close its brackets"},
        // A leading "-" is kept; words are read in any letter case; account comes first.
        {"-session optional pam_systemd.so\nAUTH Optional m.so\nAccount REQUIRED n.so\n",
         header + "account\trequired\tn.so\t\n\nauth\toptional\tm.so\t\n\n"
                  "-session\toptional\tpam_systemd.so\t\n\n"},
        {"auth required m.so\n@include common-auth\n", "Invalid Facility: @include"},
        // What the library would mangle: carriage returns, NULs, lines it cuts.
        {"session required pam_limits.so\r\n",
         "Invalid Entry: the module 'pam_limits.so\r' contains whitespace"},
        {std::string("auth required m.so\nauth required a\0b\n", 38),
         "Invalid Entry: a line holds a NUL character"},
        {"auth required m.so " + std::string(1001, 'x') + "\n",
         header + "auth\trequired\tm.so\t" + std::string(1001, 'x') + " \n\n"},
        {"auth required m.so " + std::string(1002, 'x') + "\n",
         "Invalid Entry: a statement is longer than 1021 characters"},
    };
    for (auto const& c : cases) {
        PAMPolicy policy("test");
        policy[PAMFacility::Session].push_back(PAMEntry(PAMControl::Optional, "kept.so"));
        std::string const before = Write(policy);
        std::istringstream in(c.input);
        std::string result = Refusal([&](std::ostream&) { in >> policy; });
        if (result.rfind("(no exception)", 0) == 0) {
            result = in.fail() ? "(stream failed)" : Write(Read(c.input));
        } else if (Write(policy) != before || !in.fail()) {
            result = "(policy or stream changed) " + result;
        }
        EXPECT_EQ(c.result, result) << c.input;
    }
}

// Anything the reader would take for something else is refused before a byte is written.
TEST(PAMPolicyWriting, RefusesEntriesThatWouldReadBackDifferently) {
    auto const complex = [](std::string const& text) {
        return PAMControl(PAMControl::Complex, text);
    };
    PAMControl const optional = PAMControl::Optional;
    std::string const m = " of the module 'm' ";
    struct {
        PAMEntry entry;
        std::string result;
    } const cases[] = {
        {Entry(PAMControl::Required, ""), "Invalid Entry: the module is empty"},
        {Entry(complex("[a] b]"), "m"), "Invalid Control: [a] b]"},
        {Entry(complex("[a #b]"), "m"), "Invalid Control: [a #b]"},
        {Entry(complex("[a"), "m"), "Invalid Control: [a"},
        {Entry(PAMControl::Unset, "m"), "Invalid Control: 0"},
        {Entry(optional, "pam a.so"), "Invalid Entry: the module 'pam a.so' contains whitespace"},
        {Entry(optional, "m", {"x\ny"}),
         "Invalid Entry: the parameter 'x\ny'" + m + "contains whitespace"},
        {Entry(optional, "m", {"[a b]c"}),
         "Invalid Entry: the parameter '[a b]c'" + m + "does not close its brackets at its end"},
        {Entry(optional, "m", {"a#b"}), "Invalid Entry: the parameter 'a#b'" + m + "contains '#'"},
        {Entry(optional, "m", {"a\\"}),
         "Invalid Entry: the line of the module 'm' would end with a backslash"},
        {Entry(optional, "m", {"", "x"}), "Invalid Entry: a parameter" + m + "is empty"},
        // Not last any more, and one field.
        {Entry(optional, "m", {"a\\", "[x  y]"}),
         "(no exception) #%PAM-1.0\n\naccount\toptional\tm\ta\\ [x  y] \n\n"
         "session\trequired\tpam_a.so\t\n\n"},
    };
    for (auto const& c : cases) {
        PAMPolicy policy = Read("session required pam_a.so\naccount required m");
        policy[PAMFacility::Account].front() = c.entry;
        EXPECT_EQ(c.result, Refusal([&](std::ostream& out) { out << policy; }));
    }
}

TEST(NSSConfigurationFormat, ReadsLinesAsTheCLibraryDoes) {
    struct {
        std::string input;
        std::string rewritten;
    } const cases[] = {
        {"passwd: files\nhosts: files [SUCCESS=return] dns",
         "passwd: files\nhosts: files [SUCCESS=return] dns\n"},
        // The colon may be glued, stand apart or be missing.
        {"hosts:dns\ngroup : dns\npasswd files\nnetgroup :: dns\n",
         "passwd: files\ngroup: dns\nhosts: dns\nnetgroup: dns\n"},
        // The last line of a database counts; a line without services empties it.
        {"hosts: files\nhosts: dns\n", "hosts: dns\n"},
        // Databases outside the table stay, word for word, after the line they followed.
        {"hosts: files\ngshadow:  a\npasswd: files\ngshadow: b\n",
         "passwd: files\nhosts: files\ngshadow:  a\ngshadow: b\n"},
        {"hosts: files\nhosts:\npasswd: [NOTFOUND=return] files\n", "passwd:\nhosts:\n"},
        {"passwd:\nfoo\n", "passwd:\nfoo\n"},
        // Criteria after any blanks or none, in any spelling the C library takes.
        {"passwd: dns  [!SUCCESS=return] files\nhosts: dns[!SUCCESS=return]files\n"
         "group: files\t[ notfound = Return\tUNAVAIL=continue ]dns \r\nshadow:\vfiles\vdns\f\n",
         "passwd: dns [!SUCCESS=return] files\ngroup: files [notfound=Return UNAVAIL=continue] "
         "dns\n"
         "shadow: files dns\nhosts: dns [!SUCCESS=return] files\n"},
        // Criteria the C library refuses make it refuse the whole file: the line stays as it is.
        {"hosts: files [a b] dns\npasswd: files\n", "hosts: files [a b] dns\npasswd: files\n"},
        {"netgroup: nis [NOTFOUND=return\n", "netgroup: nis [NOTFOUND=return\n"},
        // "#" only starts a comment at the start of a line.
        {"# comment\n  # indented\n\n\t\nhosts: files # mdns\n", "hosts: files # mdns\n"},
        {std::string("hosts: dns\0files\n", 17), "hosts: dns\n"},
    };
    for (auto const& c : cases) {
        NSSConfiguration configuration;
        std::istringstream in(c.input);
        EXPECT_NO_THROW(in >> configuration);
        EXPECT_EQ(c.rewritten, (in.fail() ? "(failed) " : "") + Write(configuration)) << c.input;
    }
}

// Writing refuses what would read back as something else, before a byte is written.
TEST(NSSConfigurationFormat, RefusesUnwritableValues) {
    EXPECT_EQ("Invalid Database: Passwd",
              Refusal([](std::ostream&) { NSSDatabase{std::string("Passwd")}; }));
    NSSConfiguration configuration;
    auto write = [&configuration](std::ostream& out) { out << configuration; };
    struct {
        char const *module, *criterion, *message;
    } const rows[] = {
        {"", nullptr, "the module is empty"},
        {"dns[x]", nullptr, "the module 'dns[x]' contains '['"},
        {"files", "a]", "the criterion 'a]' of the module 'files' contains whitespace or ']'"},
    };
    for (auto const& row : rows) {
        configuration = NSSConfiguration();
        configuration[NSSDatabase::Group] = {NSSService(row.module)};
        if (row.criterion) configuration[NSSDatabase::Group].front().parameters() = {row.criterion};
        EXPECT_EQ(std::string("Invalid Service: ") + row.message, Refusal(write));
    }
}
