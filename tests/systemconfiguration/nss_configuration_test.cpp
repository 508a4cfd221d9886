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

std::string Rewrite(std::string const& text) {
    return Write(Read(text));
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

}  // namespace

TEST(NSSConfigurationFormat, DatabaseWords) {
    EXPECT_TRUE(NSSDatabase("hosts") == NSSDatabase::Hosts);
    EXPECT_TRUE(NSSDatabase(NSSDatabase::Aliases) == std::string("aliases"));
    EXPECT_EQ("Invalid Database: Passwd", Failure<InvalidDatabaseException>([](std::ostream&) {
                  NSSDatabase database(std::string("Passwd"));
              }));
    EXPECT_EQ("Invalid Database: 16", Failure<InvalidDatabaseException>([](std::ostream& out) {
                  out << static_cast<std::string>(NSSDatabase(NSSDatabase::Database(16)));
              }));
}

TEST(NSSConfigurationFormat, ReadsAndWritesBackCanonically) {
    EXPECT_EQ("passwd: files\n", Rewrite("passwd: files\n"));
    NSSConfiguration hosts = Read("hosts: files [SUCCESS=return] dns");
    ASSERT_EQ(2u, hosts[NSSDatabase::Hosts].size());
    EXPECT_EQ(std::vector<std::string>{"SUCCESS=return"},
              hosts[NSSDatabase::Hosts].front().parameters());
    EXPECT_EQ("hosts: files [SUCCESS=return] dns\n", Write(hosts));
    EXPECT_EQ("hosts: files [a b] dns\n", Rewrite("hosts:\tfiles\t[ a\tb ]dns \r\n"));
    EXPECT_EQ("netgroup: nis [NOTFOUND=return]\n", Rewrite("netgroup: nis [NOTFOUND=return\n"));
    EXPECT_EQ("passwd: compat\ngroup: files ldap\nhosts: files dns\n",
              Rewrite("hosts: files dns\ngroup: files\npasswd: compat\ngroup: ldap\n"));
    // Criteria two spaces away are services of their own, and are written so that they stay
    // services.
    EXPECT_EQ(3u, Read("hosts: files  [a b]\n")[NSSDatabase::Hosts].size());
    EXPECT_EQ("hosts: files  [a b]\n", Rewrite("hosts: files  [a b]\n"));
    NSSConfiguration empty;
    empty[NSSDatabase::Passwd];
    EXPECT_EQ("passwd:\n", Write(empty));
}

TEST(NSSConfigurationFormat, NeverFailsOnContent) {
    std::string const odd =
        "# comment\n  # indented comment\npasswd files\nfoo: files\nhosts :\n"
        "hosts:files\n\t\n\v\nshadow:\n\x01\x02[]:\n: files\n[\n]x\naliases:   ";
    NSSConfiguration configuration;
    std::istringstream in(odd);
    EXPECT_NO_THROW(in >> configuration);
    EXPECT_TRUE(configuration.databases().empty());
    EXPECT_FALSE(in.fail());
    EXPECT_EQ("automount: files\n", Rewrite(odd + "\nautomount; files\n"));
}

// Writing refuses what would read back as something else, before a byte is written.
TEST(NSSConfigurationFormat, RefusesUnwritableValues) {
    NSSConfiguration configuration;
    auto write = [&configuration](std::ostream& out) { out << configuration; };
    configuration[NSSDatabase::Passwd].push_back(NSSService("files"));
    configuration[NSSDatabase()].push_back(NSSService("files"));
    EXPECT_EQ("Invalid Database: 0", Failure<InvalidDatabaseException>(write));
    configuration = NSSConfiguration();
    configuration[NSSDatabase::Group].push_back(NSSService(""));
    EXPECT_EQ("Invalid Service: the module is empty", Failure<InvalidServiceException>(write));
    configuration[NSSDatabase::Group].front() = NSSService("files");
    configuration[NSSDatabase::Group].front().parameters().push_back("a]");
    EXPECT_EQ(
        "Invalid Service: the criterion 'a]' of the module 'files' contains whitespace or ']'",
        Failure<InvalidServiceException>(write));
}

// Whatever the reader makes of any input, the written form reads back as the same thing.
TEST(NSSConfigurationFormat, EveryReadConfigurationRoundTrips) {
    static char const* const kFirst[] = {
        "passwd:", "group:", "hosts:", "hosts", "foo:", ":", "aliases;", "#hosts:", "shadow:"};
    static char const* const kTokens[] = {
        "files", "dns", "[NOTFOUND=return]", "[a", "b]", "[", "]", "x]y", "#", "[a b]", "[ ]"};
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
        ASSERT_TRUE(configuration.databases() == Read(written).databases()) << input << written;
        ASSERT_EQ(written, Rewrite(written));
        for (auto const& database : configuration.databases()) services += database.second.size();
    }
    EXPECT_GT(services, 5000u);
}
