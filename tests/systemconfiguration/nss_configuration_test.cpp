#include <gtest/gtest.h>
#include <systemconfiguration/systemconfiguration.h>

#include <random>
#include <sstream>
#include <string>

using namespace SystemConfiguration;

namespace {

std::string Write(NSSConfiguration const& configuration) {
    std::ostringstream out;
    out << configuration;
    return out.str();
}

NSSConfiguration Read(std::string const& text) {
    NSSConfiguration configuration;
    std::istringstream in(text);
    in >> configuration;
    return configuration;
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

// The kept lines in order; where they are written may move them to another database's line.
std::vector<std::string> Kept(NSSConfiguration const& configuration) {
    std::vector<std::string> lines;
    for (auto const& line : configuration.keptLines()) lines.push_back(line.second);
    return lines;
}

}  // namespace

TEST(NSSConfigurationFormat, ReadsLinesAsTheCLibraryDoes) {
    struct {
        std::string input;
        std::string rewritten;
    } const cases[] = {
        {"passwd: files\n", "passwd: files\n"},
        {"hosts: files [SUCCESS=return] dns", "hosts: files [SUCCESS=return] dns\n"},
        // Databases outside the table stay, word for word, after the line they followed.
        {"gshadow:  files\npasswd: files\ninitgroups: files [SUCCESS=continue] sss\n"
         "sudoers: files sss\nhosts: dns\n",
         "gshadow:  files\npasswd: files\ninitgroups: files [SUCCESS=continue] sss\n"
         "sudoers: files sss\nhosts: dns\n"},
        // The colon may be glued, stand apart or be missing.
        {"hosts:dns\n", "hosts: dns\n"},
        {"hosts : dns\n", "hosts: dns\n"},
        {"passwd files\nhosts :: dns\n", "passwd: files\nhosts: dns\n"},
        // The last line of a database counts; a line without services empties it.
        {"hosts: files\nhosts: dns\n", "hosts: dns\n"},
        {"hosts: files\ngshadow: a\npasswd: files\ngshadow: b\n",
         "passwd: files\nhosts: files\ngshadow: a\ngshadow: b\n"},
        {"group: files\nhosts: files\ngroup: ldap\n", "group: ldap\nhosts: files\n"},
        {"hosts: files\nhosts:\n", "hosts:\n"},
        {"hosts: [NOTFOUND=return] files\n", "hosts:\n"},
        {"passwd:\nfoo\n", "passwd:\nfoo\n"},
        // Criteria after any blanks or none, in any spelling the C library takes.
        {"hosts: dns  [!SUCCESS=return] files\n", "hosts: dns [!SUCCESS=return] files\n"},
        {"hosts: dns[!SUCCESS=return]files\n", "hosts: dns [!SUCCESS=return] files\n"},
        {"hosts: files\t[ notfound = Return\tUNAVAIL=continue ]dns \r\n",
         "hosts: files [notfound=Return UNAVAIL=continue] dns\n"},
        // Criteria the C library refuses make it refuse the whole file: the line stays as it is.
        {"hosts: files [a b] dns\npasswd: files\n", "hosts: files [a b] dns\npasswd: files\n"},
        {"netgroup: nis [NOTFOUND=return\n", "netgroup: nis [NOTFOUND=return\n"},
        {"hosts: files [ ]\n", "hosts: files [ ]\n"},
        // "#" only starts a comment at the start of a line.
        {"# comment\n  # indented\n\n\t\nhosts: files # mdns\n", "hosts: files # mdns\n"},
        {"aliases: files\n\x01\x02[]:\n: files\nHosts: dns\n",
         "aliases: files\n\x01\x02[]:\n: files\nHosts: dns\n"},
        {std::string("hosts: dns\0files\n", 17), "hosts: dns\n"},
    };
    for (auto const& c : cases) {
        NSSConfiguration configuration;
        std::istringstream in(c.input);
        EXPECT_NO_THROW(in >> configuration);
        EXPECT_FALSE(in.fail()) << c.input;
        EXPECT_EQ(c.rewritten, Write(configuration)) << c.input;
    }
    NSSConfiguration criteria = Read("hosts: dns  [!SUCCESS=return] files\n");
    ASSERT_EQ(2u, criteria[NSSDatabase::Hosts].size());
    EXPECT_EQ("dns", criteria[NSSDatabase::Hosts].front().module());
    EXPECT_EQ(std::vector<std::string>{"!SUCCESS=return"},
              criteria[NSSDatabase::Hosts].front().parameters());
    EXPECT_EQ(1u, Read("passwd:\nfoo\n").keptLines().size());
    NSSConfiguration empty;
    empty[NSSDatabase::Passwd];
    EXPECT_EQ("passwd:\n", Write(empty));
}

// Writing refuses what would read back as something else, before a byte is written.
TEST(NSSConfigurationFormat, RefusesUnwritableValues) {
    EXPECT_TRUE(NSSDatabase("hosts") == NSSDatabase::Hosts);
    EXPECT_TRUE(NSSDatabase(NSSDatabase::Aliases) == std::string("aliases"));
    EXPECT_EQ("Invalid Database: Passwd", Failure<InvalidDatabaseException>([](std::ostream&) {
                  NSSDatabase{std::string("Passwd")};
              }));
    EXPECT_EQ("Invalid Database: 16", Failure<InvalidDatabaseException>([](std::ostream& out) {
                  out << static_cast<std::string>(NSSDatabase(NSSDatabase::Database(16)));
              }));
    NSSConfiguration configuration;
    auto write = [&configuration](std::ostream& out) { out << configuration; };
    configuration[NSSDatabase::Passwd].push_back(NSSService("files"));
    configuration[NSSDatabase()].push_back(NSSService("files"));
    EXPECT_EQ("Invalid Database: 0", Failure<InvalidDatabaseException>(write));
    configuration = NSSConfiguration();
    std::vector<std::string> const criteria[] = {{}, {}, {"a]"}};
    std::string const messages[] = {
        "the module is empty", "the module 'dns[x]' contains '['",
        "the criterion 'a]' of the module 'files' contains whitespace or ']'"};
    char const* const modules[] = {"", "dns[x]", "files"};
    for (int i = 0; i < 3; ++i) {
        configuration[NSSDatabase::Group] = {NSSService(modules[i])};
        configuration[NSSDatabase::Group].front().parameters() = criteria[i];
        EXPECT_EQ("Invalid Service: " + messages[i], Failure<InvalidServiceException>(write));
    }
}

// Whatever the reader makes of any input, the written form reads back as the same thing.
TEST(NSSConfigurationFormat, EveryReadConfigurationRoundTrips) {
    static char const* const kFirst[] = {
        "passwd:", "group:", "hosts:", "hosts", "foo:", ":", "aliases;", "#hosts:", "shadow:"};
    static char const* const kTokens[] = {"files",
                                          "dns",
                                          "[NOTFOUND=return]",
                                          "[a",
                                          "b]",
                                          "[",
                                          "]",
                                          "x]y",
                                          "#",
                                          "[a b]",
                                          "[ ]",
                                          "[!success = merge",
                                          "unavail=RETURN]"};
    static char const* const kGaps[] = {" ", " ", "  ", "\t", " \t", "\r", "\v"};
    static char const kBytes[] = "ab[] \t\r\n:#\v";
    std::mt19937 random(7);
    auto pick = [&random](auto const& words) {
        return std::string(words[random() % (sizeof words / sizeof words[0])]);
    };
    std::size_t services = 0;
    for (int round = 0; round < 4000; ++round) {
        std::string input;
        for (unsigned lines = 1 + random() % 5; lines > 0; --lines) {
            for (unsigned n = random() % 10 ? 0 : random() % 12; n > 0; --n) {
                input += kBytes[random() % 12];
            }
            input += (random() % 8 ? "" : " ") + pick(kFirst);
            for (unsigned n = random() % 5; n > 0; --n) input += pick(kGaps) + pick(kTokens);
            input += random() % 6 ? "\n" : "\r\n";
        }
        NSSConfiguration configuration;
        std::istringstream in(input);
        ASSERT_NO_THROW(in >> configuration) << input;
        std::string written;
        ASSERT_NO_THROW(written = Write(configuration)) << input;
        NSSConfiguration const again = Read(written);
        ASSERT_TRUE(configuration.databases() == again.databases()) << input << written;
        ASSERT_EQ(Kept(configuration), Kept(again)) << input << written;
        ASSERT_EQ(written, Write(Read(written)));
        for (auto const& database : configuration.databases()) services += database.second.size();
    }
    EXPECT_GT(services, 1500u);
}
