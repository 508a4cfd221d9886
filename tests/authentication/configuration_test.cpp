#include <authentication/atomic_file_stream.h>
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sandbox.h"
#include "what_thrown.h"

using namespace ostrel::authentication;
using sandbox::FileMode;
using sandbox::ListDirectory;
using sandbox::ReadFile;
using sandbox::WriteFile;

namespace {

std::string const dir = "/etc/ostrel/tslauth";
std::string const file = dir + "/test.conf";

std::string Parsed(std::string const& line, int number) {
    std::pair<std::string, std::string> entry;
    std::string const error = WhatThrown([&] { entry = GetKeyValuePair(line, number); });
    return error == "(returned)" ? "[" + entry.first + "][" + entry.second + "]" : error;
}

std::string Bad(std::string const& text) {
    return Named(typeid(ConfigurationError), text);
}

using ConfigurationTest = sandbox::SandboxTest;
typedef std::map<std::string, std::string> Map;
using SandboxSelfTest = sandbox::SandboxTest;

}  // namespace

TEST(KeyValuePair, TrimsUnquotesOrNamesTheLine) {
    struct {
        char const* line;
        std::string parsed;
    } const rows[] = {
        {"a=b", "[a][b]"},
        {"  a  =  \"  b  \"  ", "[a][  b  ]"},
        {"a = x = y", "[a][x = y]"},
        {"a =   ", "[a][   ]"},           // only blanks: kept
        {"a = 'b\"", "[a]['b\"]"},        // mismatched: kept
        {"a = \"\"b\"\"", "[a][\"b\"]"},  // one pair removed
        {"a\t=\t'b c'\t", "[a][b c]"},
        {"# a = b", "[# a][b]"},          // no comment syntax
        {"a = \"b\"\r", "[a][\"b\"\r]"},  // a carriage return is text: the quotes stay
        {"=b", "[][b]"},
        {"#word", Bad("Error parsing configuration on line 7: no delimiter found")},
        {"a = \"", Bad("Error parsing configuration at line 7: invalid quoting")},
    };
    for (auto const& row : rows) EXPECT_EQ(row.parsed, Parsed(row.line, 7)) << row.line;
}

TEST_F(ConfigurationTest, LoadAndLookUp) {
    WriteFile(file, "a=b\n\n  \t\nk = first\nk = second\nz = \"  q  \"\nr = v\r\n");
    Configuration c(file);
    EXPECT_EQ((Map{{"a", "b"}, {"k", "first"}, {"z", "  q  "}, {"r", "v\r"}}),
              static_cast<Map const&>(c));
    EXPECT_THROW(static_cast<Configuration const&>(c)["missing"], InvalidKeyException);
    EXPECT_THROW(c["missing"], InvalidKeyException);  // lookup never inserts
    WriteFile(file, "a=b\nc=d\n\nbad line\n");        // blank lines count
    EXPECT_EQ(Bad("Error parsing configuration on line 4: no delimiter found"),
              WhatThrown([] { Configuration{file}; }));
    // What others may write is not trusted; a FIFO is refused without waiting for a writer.
    WriteFile(file, "a=b\n", 0664);
    EXPECT_EQ(Bad("'" + file + "' has mode 0664: other users may change it, so it is not read; " +
                  "chmod go-w " + file),
              WhatThrown([] { Configuration{file}; }));
    ASSERT_EQ(0, unlink(file.c_str()));
    ASSERT_EQ(0, mkfifo(file.c_str(), 0644));
    EXPECT_EQ(Bad("'" + file + "' is not a regular file; it is not read"),
              WhatThrown([] { Configuration{file}; }));
    ASSERT_EQ(0, unlink(file.c_str()));
}

// Canonical bytes; permission bits kept (inode numbers beyond 32 bits too).
TEST_F(ConfigurationTest, WriteBytesAndPermissionBits) {
    WriteFile(file, "b=2\na = ' 1 '\n", 0640);
    Configuration c(file);
    c.insert({{"c", ""}, {"d", "\"quoted\""}, {"e", "x = y"}});
    c.Write();
    EXPECT_EQ("a = \" 1 \"\nb = \"2\"\nc = \"\"\nd = \"\"quoted\"\"\ne = \"x = y\"\n",
              ReadFile(file));
    EXPECT_EQ(0640u, FileMode(file));
    EXPECT_EQ(std::vector<std::string>{"test.conf"}, ListDirectory(dir));

    sandbox::MountOverlayWithLargeInodes(dir);
    struct stat info;
    ASSERT_EQ(0, stat(file.c_str(), &info));
    ASSERT_GT(static_cast<unsigned long long>(info.st_ino), 0xffffffffull);
    Configuration(file).Write();
    EXPECT_EQ(0640u, FileMode(file));
}

TEST_F(ConfigurationTest, WriteRefusesEntriesThatWouldNotReadBack) {
    struct {
        std::string key, value, reason;
    } const rows[] = {
        {"", "v", "an empty key cannot be stored"},
        {"k\nx", "v", "the key 'k\nx' contains a line feed"},
        {"k=x", "v", "the key 'k=x' contains '='"},
        {"k", "v\ninjected = yes", "the value of the key 'k' contains a line feed"},
    };
    for (auto const& row : rows) {
        WriteFile(file, "a = 1\n");
        Configuration configuration(file);
        configuration.insert({row.key, row.value});
        EXPECT_EQ(Bad("Unable to write configuration '" + file + "': " + row.reason),
                  WhatThrown([&] { configuration.Write(); }));
        EXPECT_EQ("a = 1\n", ReadFile(file));
        EXPECT_EQ(std::vector<std::string>{"test.conf"}, ListDirectory(dir));
    }
}

// Destroyed without Commit, the complete temporary is left; a failed stream puts nothing in place.
TEST_F(ConfigurationTest, AtomicStreamAbandonAndFailure) {
    WriteFile(file, "old\n", 0644);
    std::string left;
    {
        AtomicFileStream abandoned(file.c_str(), std::ios_base::out);
        abandoned << "abandoned\n";
        left = abandoned.GetTemporaryPath();
        AtomicFileStream failed(file.c_str(), std::ios_base::out);
        failed << "partial";
        failed.setstate(std::ios_base::badbit);
        EXPECT_THROW(failed.Commit(), IOError);
    }
    EXPECT_EQ("old\nabandoned\n", ReadFile(file) + ReadFile(left));
    ::unlink(left.c_str());
    EXPECT_EQ(std::vector<std::string>{"test.conf"}, ListDirectory(dir));
}

// What tests write stays private: the host's /etc, seen from the first process, has none of it.
TEST_F(SandboxSelfTest, WritesStayInside) {
    EXPECT_EQ(std::vector<std::string>{}, sandbox::ListDirectory("/etc/pam.d"));
    sandbox::WriteFile("/etc/pam.d/marker", "x");
    EXPECT_TRUE(access("/proc/1/root/etc", R_OK) != 0 ||
                !sandbox::PathExists("/proc/1/root/etc/pam.d/marker"));
}
