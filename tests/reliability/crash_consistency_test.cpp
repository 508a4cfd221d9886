// A process that switches the host back and forth (activation, thumbprint import,
// deactivation) is killed at random moments, hundreds of times. After every kill each file is
// exactly one complete version, parses, and has its permission bits and owner; the PAM file,
// a symbolic link to a profile file as distributions make it, stays that link.
#include <authentication/no_remote_authentication_store.h>
#include <authentication/qap_thumbprint_store.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <set>

#include "reliability_fixture.h"
#include "test_certificate.h"

using namespace ostrel::authentication;
using namespace reliability;

namespace {

unsigned const kKills = 500;
std::string const kServer = "192.0.2.1";
std::string const kFirstThumbprint = "0A:1B:2C:3D:4E:5F:60:71:82:93:A4:B5:C6:D7:E8:F9:0A:1B:2C:3D";
std::string const kSecondThumbprint = "FF:EE:DD:CC:BB:AA:99:88:77:66:55:44:33:22:11:00:FF:EE:DD:CC";

// One round: every file the library owns or edits is replaced at least once.
void SwitchBackAndForth(ActiveDirectoryStore& store, NoRemoteAuthenticationStore& none,
                        unsigned round) {
    store.MakeActive();
    QAPThumbprintStore(kThumbprints)
        .ImportThumbprint(round % 2 ? kSecondThumbprint : kFirstThumbprint, kServer);
    none.MakeActive();
}

// The child: rewrites until it is killed, saying so after its first round, from when on it
// runs at its normal pace. It never returns into the test framework.
[[noreturn]] void RewriteUntilKilled(int ready) {
    try {
        ActiveDirectoryStore store(60);
        NoRemoteAuthenticationStore none;
        SwitchBackAndForth(store, none, 0);
        char const go = 'g';
        if (write(ready, &go, 1) != 1) _exit(2);
        for (unsigned round = 1;; ++round) SwitchBackAndForth(store, none, round);
    } catch (std::exception const& e) {
        std::fprintf(stderr, "rewriting child: %s\n", e.what());
    }
    _exit(3);
}

class CrashConsistencyTest : public StoreTest {};

std::string const kProfile = kPAMDirectory + "/profiles/system-auth-generic";
std::string const kProfileLink = "profiles/system-auth-generic";

std::string LinkOf(std::string const& path) {
    char buffer[256];
    ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
    return length < 0 ? "(no link)" : std::string(buffer, static_cast<std::size_t>(length));
}

std::pair<uid_t, gid_t> OwnerOf(std::string const& path) {
    struct stat info = {};
    EXPECT_EQ(0, stat(path.c_str(), &info)) << path;
    return {info.st_uid, info.st_gid};
}

}  // namespace

TEST_F(CrashConsistencyTest, KilledRewritesLeaveCompleteVersionsWithTheirBits) {
    std::map<std::string, mode_t> const modes = {{kPAM, 0640}, {kConf, 0644}, {kThumbprints, 0600}};
    std::map<std::string, std::string> const initial = {
        {kPAM, kRedHatStyle}, {kConf, kNone}, {kThumbprints, kServer + " = 'none'\n"}};
    // Owners other than the writer's (where the sandbox maps them).
    std::map<std::string, std::pair<uid_t, gid_t>> owners = {
        {kPAM, {0, 4343}}, {kConf, {4242, 4343}}, {kThumbprints, {4242, 0}}};
    sandbox::MakeDirectory(kPAMDirectory + "/profiles");
    auto reset = [&] {
        for (auto const& file : initial) {
            std::string const path = file.first == kPAM ? kProfile : file.first;
            sandbox::WriteFile(path, file.second, modes.at(file.first));
            if (chown(path.c_str(), owners[file.first].first, owners[file.first].second) != 0) {
                owners[file.first] = OwnerOf(path);
            }
        }
        unlink(kPAM.c_str());
        ASSERT_EQ(0, symlink(kProfileLink.c_str(), kPAM.c_str()));
    };

    // Every version a file may hold: the initial one and those the rounds write.
    reset();
    std::map<std::string, std::set<std::string>> versions;
    for (auto const& file : initial) versions[file.first].insert(file.second);
    ActiveDirectoryStore store(60);  // keeps the plug-in loaded for the children too
    NoRemoteAuthenticationStore none;
    auto const start = std::chrono::steady_clock::now();
    unsigned const rounds = 4;
    for (unsigned round = 0; round < rounds; ++round) {
        store.MakeActive();
        for (std::string const& path : {kPAM, kConf})
            versions[path].insert(sandbox::ReadFile(path));
        QAPThumbprintStore(kThumbprints)
            .ImportThumbprint(round % 2 ? kSecondThumbprint : kFirstThumbprint, kServer);
        versions[kThumbprints].insert(sandbox::ReadFile(kThumbprints));
        none.MakeActive();
        for (std::string const& path : {kPAM, kConf})
            versions[path].insert(sandbox::ReadFile(path));
    }
    // Kills spread over a few rounds of a child, whatever this machine's speed.
    auto const roundTime = std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::steady_clock::now() - start) /
                           rounds;
    ASSERT_EQ(3u, versions[kPAM].size());
    ASSERT_EQ(3u, versions[kConf].size());
    ASSERT_EQ(3u, versions[kThumbprints].size());
    reset();

    std::mt19937 random(20240607);
    std::uniform_int_distribution<long> delay(0, 2 * roundTime.count());
    unsigned interrupted = 0;
    std::chrono::steady_clock::duration starting{};
    std::map<std::string, std::map<std::string, unsigned>> seen;
    for (unsigned kill = 1; kill <= kKills; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        int ready[2];
        ASSERT_EQ(0, pipe2(ready, O_CLOEXEC));
        auto const forked = std::chrono::steady_clock::now();
        pid_t child = fork();
        ASSERT_LE(0, child);
        if (child == 0) {
            close(ready[0]);
            RewriteUntilKilled(ready[1]);
        }
        close(ready[1]);
        char go = 0;
        bool const started = read(ready[0], &go, 1) == 1;
        close(ready[0]);
        starting += std::chrono::steady_clock::now() - forked;
        if (started) std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(started);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the child stopped by itself, status " << status;

        for (auto const& file : versions) {
            std::string const content = sandbox::ReadFile(file.first);
            ASSERT_EQ(1u, file.second.count(content)) << file.first << " holds:\n" << content;
            ASSERT_EQ(modes.at(file.first), sandbox::FileMode(file.first)) << file.first;
            ASSERT_TRUE(owners.at(file.first) == OwnerOf(file.first)) << file.first;
            ++seen[file.first][content];
        }
        ASSERT_EQ(kProfileLink, LinkOf(kPAM));
        std::string const recorded = Configuration(kConf)["remote-authentication-store"];
        ASSERT_TRUE(recorded == "None" || recorded == "Active Directory") << recorded;
        ASSERT_TRUE(ParsesAsPAM(sandbox::ReadFile(kPAM)));
        ASSERT_FALSE(QAPThumbprintStore(kThumbprints).LookupThumbprint(kServer).empty());

        // A kill between creating a temporary file and renaming it leaves that file behind;
        // it is swept up here, as an administrator would.
        std::vector<std::string> const left = Temporaries({kProfile, kConf, kThumbprints});
        if (!left.empty()) ++interrupted;
        for (std::string const& path : left) unlink(path.c_str());
    }
    auto const us = [](std::chrono::steady_clock::duration d) {
        return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    };
    std::cout << "[ figures  ] kills survived: " << kKills
              << "; kills inside a replacement: " << interrupted << "; round " << us(roundTime)
              << " us; child start " << us(starting) / kKills << " us" << std::endl;
    for (auto const& file : seen) {
        std::cout << "[ figures  ] " << file.first << ":";
        for (auto const& version : file.second) std::cout << " " << version.second;
        std::cout << std::endl;
    }
    // The kills fell at different moments of the rounds.
    for (auto const& file : versions) EXPECT_LE(2u, seen[file.first].size()) << file.first;
}

// Two processes switch back and forth while eight threads import thumbprints of their own
// servers: every read-edit-replace waits for the others, so no import is lost and the record
// and the PAM file agree at the end.
TEST_F(CrashConsistencyTest, ConcurrentEditorsLoseNoUpdate) {
    unsigned const kSwitches = 500, kThreads = 8, kServersEach = 25;
    sandbox::WriteFile(kPAM, kRedHatStyle, 0640);
    sandbox::WriteFile(kConf, kNone, 0644);
    sandbox::WriteFile(kThumbprints, "", 0600);
    std::string const certificate = kStoreDirectory + "/proxy.pem";
    test_certificate::Certificate const made = test_certificate::Make("proxy");
    sandbox::WriteFile(certificate, made.pem, 0644);
    ActiveDirectoryStore(60).GetPAMEntryForProvider();  // the plug-in loads before the fork

    std::vector<pid_t> switchers;
    for (int i = 0; i < 2; ++i) {
        pid_t child = fork();
        ASSERT_LE(0, child);
        if (child != 0) {
            switchers.push_back(child);
            continue;
        }
        try {
            ActiveDirectoryStore store(60);
            NoRemoteAuthenticationStore none;
            for (unsigned round = 0; round < kSwitches; ++round) {
                store.MakeActive();
                none.MakeActive();
            }
            _exit(0);
        } catch (std::exception const& e) {
            std::fprintf(stderr, "switching child: %s\n", e.what());
        }
        _exit(3);
    }
    std::vector<std::thread> importers;
    std::vector<std::string> failures(kThreads);
    auto const server = [](unsigned thread, unsigned i) {
        return "198.18." + std::to_string(thread) + "." + std::to_string(i + 1);
    };
    for (unsigned t = 0; t < kThreads; ++t) {
        importers.emplace_back([&, t] {
            ActiveDirectoryStore store(60);
            for (unsigned i = 0; i < kServersEach && failures[t].empty(); ++i) {
                failures[t] =
                    WhatThrown([&] { store.ImportCertificateForQAP(certificate, server(t, i)); });
                if (failures[t] == "(returned)") failures[t].clear();
            }
        });
    }
    for (std::thread& importer : importers) importer.join();
    for (pid_t child : switchers) {
        int status = -1;
        for (int wait = 0; wait < 1200 && waitpid(child, &status, WNOHANG) == 0; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (status == -1) ::kill(child, SIGKILL), waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    for (unsigned t = 0; t < kThreads; ++t) {
        EXPECT_EQ("", failures[t]);
        for (unsigned i = 0; i < kServersEach; ++i) {
            EXPECT_EQ(made.thumbprint,
                      QAPThumbprintStore(kThumbprints).LookupThumbprint(server(t, i)))
                << server(t, i);
        }
    }
    bool const active = Configuration(kConf)["remote-authentication-store"] == "Active Directory";
    EXPECT_EQ(active, sandbox::ReadFile(kPAM).find("pam_scripted.so") != std::string::npos);
    EXPECT_TRUE(Temporaries().empty());
}
