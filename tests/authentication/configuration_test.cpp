#include <authentication/atomic_file_stream.h>
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <sys/stat.h>

#include "capabilities.h"
#include "sandbox.h"

using namespace ostrel::authentication;
using sandbox::FileMode;
using sandbox::ListDirectory;
using sandbox::PathExists;
using sandbox::ReadFile;
using sandbox::WriteFile;

namespace {

typedef std::pair<std::string, std::string> Entry;

std::string ErrorOf(std::string const& line, int number) {
    try {
        GetKeyValuePair(line, number);
    } catch (ConfigurationError const& e) {
        return e.what();
    }
    return "(no error)";
}

class ConfigurationTest : public sandbox::SandboxTest {
protected:
    std::string const dir = "/etc/ostrel/tslauth";
    std::string const file = dir + "/test.conf";

    Configuration Load(std::string const& content) {
        WriteFile(file, content);
        return Configuration(file);
    }

    std::string LoadError(std::string const& content) {
        WriteFile(file, content);
        try {
            Configuration configuration(file);
        } catch (Exception const& e) {
            return e.what();
        }
        return "(no error)";
    }
};

}  // namespace

TEST(KeyValuePair, TrimmingAndQuoting) {
    EXPECT_EQ(Entry("a", "b"), GetKeyValuePair("a=b", 1));
    EXPECT_EQ(Entry("a", "  b  "), GetKeyValuePair("  a  =  \"  b  \"  ", 1));
    EXPECT_EQ(Entry("a", "x = y"), GetKeyValuePair("a = x = y", 1));
    EXPECT_EQ(Entry("a", ""), GetKeyValuePair("a =", 1));
    EXPECT_EQ(Entry("a", "   "), GetKeyValuePair("a =   ", 1));  // only blanks: kept
    EXPECT_EQ(Entry("a", ""), GetKeyValuePair("a = \"\"", 1));
    EXPECT_EQ(Entry("a", "'b\""), GetKeyValuePair("a = 'b\"", 1));        // mismatched: kept
    EXPECT_EQ(Entry("a", "\"b"), GetKeyValuePair("a = \"b", 1));          // one end only: kept
    EXPECT_EQ(Entry("a", "\"b\""), GetKeyValuePair("a = \"\"b\"\"", 1));  // one pair removed
    EXPECT_EQ(Entry("a", "b c"), GetKeyValuePair("a\t=\t'b c'\t", 1));
    EXPECT_EQ(Entry("k y", "v"), GetKeyValuePair("\"k y\" = v", 1));
    EXPECT_EQ(Entry("# a", "b"), GetKeyValuePair("# a = b", 1));  // no comment syntax
    // A carriage return is ordinary text, so quotes before it stay.
    EXPECT_EQ(Entry("a", "b\r"), GetKeyValuePair("a = b\r", 1));
    EXPECT_EQ(Entry("a", "\"b\"\r"), GetKeyValuePair("a = \"b\"\r", 1));
    EXPECT_EQ(Entry("", "b"), GetKeyValuePair("=b", 1));
}

TEST(KeyValuePair, ErrorsNameTheLine) {
    EXPECT_EQ("Error parsing configuration on line 7: no delimiter found", ErrorOf("#word", 7));
    EXPECT_EQ("Error parsing configuration at line 3: invalid quoting", ErrorOf("a = \"", 3));
    EXPECT_EQ("Error parsing configuration at line 12: invalid quoting", ErrorOf(" ' = b", 12));
    EXPECT_EQ("Error parsing configuration at line 1: invalid quoting", ErrorOf("a =  '  ", 1));
}

TEST_F(ConfigurationTest, LoadsLinesInOrderFirstKeyWins) {
    Configuration c = Load("a=b\n\n  \t\nk = first\nk = second\nz = \"  q  \"");
    EXPECT_EQ(file, c.GetPath());
    ASSERT_EQ(3u, c.size());
    EXPECT_EQ("b", c["a"]);
    EXPECT_EQ("first", c["k"]);
    EXPECT_EQ("  q  ", c["z"]);

    EXPECT_TRUE(Load("").empty());
    EXPECT_TRUE(Load("\n\n \t \n").empty());
    EXPECT_EQ("v\r", Load("k = v\r\n")["k"]);
}

TEST_F(ConfigurationTest, LoadFailuresReportFileAndLine) {
    EXPECT_EQ("Error parsing configuration on line 4: no delimiter found",
              LoadError("a=b\nc=d\n\nbad line\n"));
    EXPECT_EQ("Error parsing configuration at line 2: invalid quoting", LoadError("a=b\nc='\n"));
    EXPECT_EQ("Error parsing configuration on line 1: no delimiter found", LoadError("# note\n"));

    try {
        Configuration missing(dir + "/missing.conf");
        FAIL();
    } catch (IOError const& e) {
        EXPECT_STREQ("Unable to open '/etc/ostrel/tslauth/missing.conf': No such file or directory",
                     e.what());
    }
    // A directory opens but cannot be read: that is an error, not an empty configuration.
    sandbox::MakeDirectory(dir + "/dir.conf");
    try {
        Configuration directory(dir + "/dir.conf");
        FAIL();
    } catch (IOError const& e) {
        EXPECT_STREQ("Unable to read '/etc/ostrel/tslauth/dir.conf': Is a directory", e.what());
    }
}

TEST_F(ConfigurationTest, LookupNeverInserts) {
    Configuration c = Load("a = 1\n");
    Configuration const& constant = c;
    EXPECT_THROW(c["missing"], InvalidKeyException);
    try {
        constant["missing"];
        FAIL();
    } catch (InvalidKeyException const& e) {
        EXPECT_STREQ("The specified key 'missing' was not found in this configuration", e.what());
    }
    EXPECT_EQ(1u, c.size());
    c["a"] = "2";
    EXPECT_EQ("2", constant["a"]);
    EXPECT_EQ("a = 1\n", ReadFile(file));  // only Write touches the file
}

TEST_F(ConfigurationTest, WriteProducesCanonicalBytesAndReadsBack) {
    Configuration c = Load("b=2\na = ' 1 '\n");
    c.insert(Entry("c", ""));
    c.insert(Entry("d", "\"quoted\""));
    c.insert(Entry("e", "x = y"));
    c.Write();
    EXPECT_EQ("a = \" 1 \"\nb = \"2\"\nc = \"\"\nd = \"\"quoted\"\"\ne = \"x = y\"\n",
              ReadFile(file));
    Configuration again(file);
    typedef std::map<std::string, std::string> Map;
    EXPECT_EQ(static_cast<Map const&>(c), static_cast<Map const&>(again));
    EXPECT_EQ(std::vector<std::string>{"test.conf"}, ListDirectory(dir));
}

TEST_F(ConfigurationTest, WriteKeepsPermissionBits) {
    WriteFile(file, "a=1\n", 0644);
    Configuration existing(file);
    existing.Write();
    EXPECT_EQ(0644u, FileMode(file));

    WriteFile(file, "a=1\n", 0640);
    Configuration(file).Write();
    EXPECT_EQ(0640u, FileMode(file));

    // A file that did not exist is created readable by all, as configuration files are (not
    // with the temporary file's 0600).
    Configuration fresh = Load("a=1\n");
    std::string other = dir + "/new.conf";
    WriteFile(other, "x=1\n");
    Configuration moved(other);
    unlink(other.c_str());
    moved.Write();
    EXPECT_EQ(0644u, FileMode(other));
    EXPECT_EQ("x = \"1\"\n", ReadFile(other));
}

// On a 32-bit host too: a file whose inode number needs more than 32 bits is examined, not
// taken for missing.
TEST_F(ConfigurationTest, WriteKeepsPermissionBitsOfFilesWithLargeInodeNumbers) {
    WriteFile(file, "a=1\n", 0640);
    sandbox::MountOverlayWithLargeInodes(dir);
    struct stat info;
    ASSERT_EQ(0, stat(file.c_str(), &info));
    ASSERT_GT(static_cast<unsigned long long>(info.st_ino), 0xffffffffull);
    Configuration(file).Write();
    EXPECT_EQ(0640u, FileMode(file));
    EXPECT_EQ("a = \"1\"\n", ReadFile(file));
}

TEST_F(ConfigurationTest, WriteRefusesEntriesThatWouldNotReadBack) {
    struct Case {
        Entry entry;
        std::string reason;
    } cases[] = {
        {Entry("", "v"), "an empty key cannot be stored"},
        {Entry("k\nx", "v"), "the key 'k\nx' contains a line feed"},
        {Entry("k=x", "v"), "the key 'k=x' contains '='"},
        {Entry(" k", "v"), "the key ' k' begins or ends with a blank"},
        {Entry("k\t", "v"), "the key 'k\t' begins or ends with a blank"},
        {Entry("'k'", "v"), "the key ''k'' begins and ends with a quote"},
        {Entry("\"", "v"), "the key '\"' begins and ends with a quote"},
        {Entry("k", "v\ninjected = yes"), "the value of the key 'k' contains a line feed"},
    };
    for (Case const& c : cases) {
        Configuration configuration = Load("a = 1\n");
        configuration.insert(c.entry);
        try {
            configuration.Write();
            ADD_FAILURE() << "accepted " << c.reason;
        } catch (ConfigurationError const& e) {
            EXPECT_EQ("Unable to write configuration '" + file + "': " + c.reason, e.what());
        }
        EXPECT_EQ("a = 1\n", ReadFile(file));
        EXPECT_EQ(std::vector<std::string>{"test.conf"}, ListDirectory(dir));
    }
}

TEST_F(ConfigurationTest, NamedConfigurationsReadTheirFixedPaths) {
    WriteFile(dir + "/authentication.conf", "remote-authentication-store = None\n");
    WriteFile(dir + "/provider.conf", "provider = alpha\n");
    WriteFile(dir + "/qapprovider.conf", "provider = beta\n");
    EXPECT_EQ("None", AuthenticationConfiguration()["remote-authentication-store"]);
    EXPECT_EQ("alpha", ProviderConfiguration()["provider"]);
    EXPECT_EQ("beta", QAPProviderConfiguration()["provider"]);
    unlink((dir + "/provider.conf").c_str());
    try {
        ProviderConfiguration missing;
        FAIL();
    } catch (IOError const& e) {
        EXPECT_STREQ(
            "Unable to open '/etc/ostrel/tslauth/provider.conf': No such file or directory",
            e.what());
    }
}

TEST_F(ConfigurationTest, FullFilesystemLeavesTheOldFileAndNoTemporary) {
    sandbox::MountTmpfs(dir, 64 * 1024);
    WriteFile(file, "a = \"old\"\n", 0644);
    Configuration c(file);
    c["a"] = std::string(256 * 1024, 'x');
    try {
        c.Write();
        FAIL() << "a write into a full filesystem succeeded";
    } catch (IOError const& e) {
        EXPECT_STREQ("Unable to write '/etc/ostrel/tslauth/test.conf': No space left on device",
                     e.what());
    }
    EXPECT_EQ("a = \"old\"\n", ReadFile(file));
    EXPECT_EQ(0644u, FileMode(file));
    EXPECT_EQ(std::vector<std::string>{"test.conf"}, ListDirectory(dir));
}

TEST_F(ConfigurationTest, UnwritableDirectoriesFailBeforeAnythingChanges) {
    sandbox::MountTmpfs(dir, 64 * 1024);
    WriteFile(file, "a = 1\n");
    Configuration c(file);
    sandbox::RemountReadOnly(dir);
    try {
        c.Write();
        FAIL();
    } catch (IOError const& e) {
        EXPECT_STREQ(
            "Unable to create temporary file to write '/etc/ostrel/tslauth/test.conf': "
            "Read-only file system",
            e.what());
    }
    EXPECT_EQ("a = 1\n", ReadFile(file));
    EXPECT_EQ(std::vector<std::string>{"test.conf"}, ListDirectory(dir));

    // A directory without write permission, for a writer that cannot override permissions.
    std::string const locked = "/etc/ostrel/locked";
    sandbox::MakeDirectory(locked);
    WriteFile(locked + "/x.conf", "a = 1\n", 0644);
    Configuration inLocked(locked + "/x.conf");
    inLocked["a"] = "2";
    ASSERT_EQ(0, chmod(locked.c_str(), 0555));
    {
        sandbox::WithoutPermissionOverride unprivileged;
        try {
            inLocked.Write();
            ADD_FAILURE() << "a write into a directory without write permission succeeded";
        } catch (IOError const& e) {
            EXPECT_STREQ(
                "Unable to create temporary file to write '/etc/ostrel/locked/x.conf': "
                "Permission denied",
                e.what());
        }
    }
    EXPECT_EQ("a = 1\n", ReadFile(locked + "/x.conf"));
    EXPECT_EQ(0644u, FileMode(locked + "/x.conf"));
    EXPECT_EQ(std::vector<std::string>{"x.conf"}, ListDirectory(locked));

    try {
        AtomicFileStream stream("/etc/ostrel/nowhere/x.conf", std::ios_base::out);
        FAIL();
    } catch (IOError const& e) {
        EXPECT_STREQ(
            "Unable to create temporary file to write '/etc/ostrel/nowhere/x.conf': No "
            "such file or directory",
            e.what());
    }
}

TEST_F(ConfigurationTest, AtomicStreamCommitAndAbandon) {
    WriteFile(file, "old\n", 0644);
    {
        AtomicFileStream stream(file.c_str(), std::ios_base::out);
        std::string temporary = stream.GetTemporaryPath();
        EXPECT_EQ(file.size() + 7, temporary.size());
        EXPECT_EQ(file + ".", temporary.substr(0, file.size() + 1));
        stream << "new\n";
        EXPECT_EQ("old\n", ReadFile(file));
        stream.Commit();
        EXPECT_FALSE(PathExists(temporary));
    }
    EXPECT_EQ("new\n", ReadFile(file));
    EXPECT_EQ(0644u, FileMode(file));

    // Destroyed without Commit: the target stays, the complete temporary file is left.
    std::string left;
    {
        AtomicFileStream stream(file.c_str(), std::ios_base::out);
        left = stream.GetTemporaryPath();
        stream << "abandoned\n";
    }
    EXPECT_EQ("new\n", ReadFile(file));
    EXPECT_EQ("abandoned\n", ReadFile(left));
}

TEST_F(ConfigurationTest, AtomicStreamFailures) {
    // A failed rename leaves the target and the complete temporary file.
    std::string target = dir + "/occupied";
    sandbox::MakeDirectory(target);
    WriteFile(target + "/inside", "x");
    {
        AtomicFileStream stream(target.c_str(), std::ios_base::out);
        std::string temporary = stream.GetTemporaryPath();
        stream << "data";
        try {
            stream.Commit();
            FAIL();
        } catch (IOError const& e) {
            EXPECT_EQ("Unable to rename '" + temporary + "' to '" + target + "': Is a directory",
                      std::string(e.what()));
        }
        EXPECT_EQ("data", ReadFile(temporary));
        unlink(temporary.c_str());
    }
    // A stream that has failed puts nothing in place and removes its temporary file.
    WriteFile(file, "old\n");
    {
        AtomicFileStream stream(file.c_str(), std::ios_base::out);
        stream << "partial";
        stream.setstate(std::ios_base::badbit);
        EXPECT_THROW(stream.Commit(), IOError);
        EXPECT_THROW(stream.Commit(), IOError);  // a second Commit does not rename either
    }
    EXPECT_EQ("old\n", ReadFile(file));
    EXPECT_EQ((std::vector<std::string>{"occupied", "test.conf"}), ListDirectory(dir));

    // An over-long path is refused before any file is made.
    std::string longPath = dir + "/" + std::string(4100, 'n');
    try {
        AtomicFileStream stream(longPath.c_str(), std::ios_base::out);
        FAIL();
    } catch (IOError const& e) {
        EXPECT_EQ("Unable to create temporary file to write '" + longPath + "': File name too long",
                  std::string(e.what()));
    }
}
