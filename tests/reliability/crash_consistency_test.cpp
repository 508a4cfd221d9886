// Processes killed in the middle of rewrites, and threads rewriting at once.
#include <authentication/no_remote_authentication_store.h>
#include <authentication/qap_thumbprint_store.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <random>
#include <set>

#include "reliability_fixture.h"
#include "test_certificate.h"

using namespace ostrel::authentication;
using namespace reliability;

namespace {

std::string const kServer = "192.0.2.1", kProfile = kPAMDirectory + "/profiles/system-auth-generic";

// Every file the library owns or edits is replaced at least once; `step` runs after each.
void SwitchBackAndForth(
    unsigned round, std::function<void()> const& step = [] {}) {
    ActiveDirectoryStore(60).MakeActive();
    step();
    QAPThumbprintStore(kThumbprints).ImportThumbprint(round % 2 ? "FF:EE:DD" : "0A:1B:2C", kServer);
    step();
    NoRemoteAuthenticationStore().MakeActive();
    step();
}

std::pair<uid_t, gid_t> OwnerOf(std::string const& path) {
    struct stat info = {};
    EXPECT_EQ(0, stat(path.c_str(), &info)) << path;
    return {info.st_uid, info.st_gid};
}

using CrashConsistencyTest = ReliabilityTest;

// After each of hundreds of kills every file is one complete version with its bits and owner;
// the PAM file, a symbolic link to a profile as distributions make it, stays that link.
TEST_F(CrashConsistencyTest, KilledRewritesLeaveCompleteVersionsWithTheirBits) {
    struct Initial {
        std::string content;
        mode_t mode;
        std::pair<uid_t, gid_t> owner;  // other than the writer's, where the sandbox maps them
    };
    std::map<std::string, Initial> files = {
        {kPAM, {kRedHatStyle, 0640, {0, 4343}}},
        {kConf, {kNone, 0644, {4242, 4343}}},
        {kThumbprints, {kServer + " = 'none'\n", 0600, {4242, 0}}}};
    sandbox::MakeDirectory(kPAMDirectory + "/profiles");
    auto reset = [&] {
        for (auto& [target, file] : files) {
            std::string const path = target == kPAM ? kProfile : target;
            sandbox::WriteFile(path, file.content, file.mode);
            if (chown(path.c_str(), file.owner.first, file.owner.second) != 0)
                file.owner = OwnerOf(path);
        }
        unlink(kPAM.c_str());
        ASSERT_EQ(0, symlink("profiles/system-auth-generic", kPAM.c_str()));
    };
    // Every version a file may hold: the initial one and those the rounds write.
    reset();
    std::map<std::string, std::set<std::string>> versions, seen;
    auto const record = [&] {
        for (auto const& file : files) versions[file.first].insert(sandbox::ReadFile(file.first));
    };
    record();
    ActiveDirectoryStore store(60);  // keeps the plug-in loaded for the children too
    auto const start = std::chrono::steady_clock::now();
    for (unsigned round = 0; round < 4; ++round) SwitchBackAndForth(round, record);
    auto const roundTime = (std::chrono::steady_clock::now() - start) / 4;
    for (auto const& file : versions) ASSERT_EQ(3u, file.second.size()) << file.first;
    reset();

    // Kills spread over a few rounds of a child, whatever this machine's speed.
    std::mt19937 random(20240607);
    std::uniform_int_distribution<long> delay(
        0, 2 * std::chrono::duration_cast<std::chrono::microseconds>(roundTime).count());
    for (unsigned kill = 1; kill <= 500; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        int ready[2];
        ASSERT_EQ(0, pipe2(ready, O_CLOEXEC));
        pid_t const child = fork();
        if (child == 0) {  // rewrites until killed, saying so after a first round
            try {
                close(ready[0]);
                SwitchBackAndForth(0);
                for (unsigned round = 1; round > 1 || write(ready[1], "g", 1) == 1; ++round)
                    SwitchBackAndForth(round);
            } catch (...) {
            }
            _exit(3);  // never back into the test framework
        }
        ASSERT_LE(0, child);
        close(ready[1]);
        char go = 0;
        bool const started = read(ready[0], &go, 1) == 1;
        close(ready[0]);
        if (started) std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(started && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

        for (auto const& file : versions) {
            std::string const content = sandbox::ReadFile(file.first);
            ASSERT_EQ(1u, file.second.count(content)) << file.first << " holds:\n" << content;
            ASSERT_EQ(files.at(file.first).mode, sandbox::FileMode(file.first)) << file.first;
            ASSERT_TRUE(files.at(file.first).owner == OwnerOf(file.first)) << file.first;
            seen[file.first].insert(content);
        }
        char link[64] = {};
        ASSERT_EQ(std::string("profiles/system-auth-generic"),
                  std::string(link, std::max(0l, (long)readlink(kPAM.c_str(), link, sizeof link))));
        // A kill before the rename leaves a temporary file; swept up as an administrator would.
        for (std::string const& path : Temporaries({kProfile, kConf, kThumbprints}))
            unlink(path.c_str());
    }
    // The kills fell at different moments of the rounds.
    for (auto const& file : versions) EXPECT_LE(2u, seen[file.first].size()) << file.first;
}

// Two processes switch back and forth while eight threads import thumbprints: every
// read-edit-replace waits for the others, across processes too, so no update is lost.
TEST_F(CrashConsistencyTest, ConcurrentEditorsLoseNoUpdate) {
    sandbox::WriteFile(kThumbprints, "", 0600);
    std::string const certificate = kStoreDirectory + "/proxy.pem";
    test_certificate::Certificate const made = test_certificate::Make("proxy");
    sandbox::WriteFile(certificate, made.pem, 0644);
    ActiveDirectoryStore(60).GetPAMEntryForProvider();  // the plug-in loads before the fork
    std::vector<pid_t> switchers;
    for (int i = 0; i < 2; ++i) {
        pid_t const child = fork();
        ASSERT_LE(0, child);
        if (child == 0) {
            try {
                ActiveDirectoryStore store(60);
                NoRemoteAuthenticationStore none;
                // One ends each round active, the other inactive: whichever ends last, the
                // configuration and the PAM file must agree.
                AuthenticationStore* const order[2][2] = {{&store, &none}, {&none, &store}};
                for (unsigned round = 0; round < 500; ++round) {
                    order[i][0]->MakeActive();
                    order[i][1]->MakeActive();
                }
                _exit(0);
            } catch (std::exception const& e) {
                std::fprintf(stderr, "switching child: %s\n", e.what());
            }
            _exit(3);
        }
        switchers.push_back(child);
    }
    auto const server = [](unsigned thread, unsigned i) {
        return "198.18." + std::to_string(thread) + "." + std::to_string(i + 1);
    };
    std::vector<std::string> failures(8, "(returned)");
    std::vector<std::thread> importers;
    for (unsigned t = 0; t < 8; ++t) {
        importers.emplace_back([&, t] {
            ActiveDirectoryStore store(60);
            for (unsigned i = 0; i < 25 && failures[t] == "(returned)"; ++i)
                failures[t] =
                    WhatThrown([&] { store.ImportCertificateForQAP(certificate, server(t, i)); });
        });
    }
    // Whoever holds the files' lock (a flock on the directory) finds the record and the PAM
    // file in agreement, while the switchers run and after.
    auto const agree = [] {
        bool const active =
            Configuration(kConf)["remote-authentication-store"] == "Active Directory";
        return active == (sandbox::ReadFile(kPAM).find("pam_scripted.so") != std::string::npos);
    };
    int const directory = ::open(kStoreDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_LE(0, directory);  // else no sample is taken
    unsigned samples = 0, disagreements = 0;
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    for (pid_t child : switchers) {  // bounded: killed after two minutes
        int status = -1;
        while (waitpid(child, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(child, SIGKILL);
                waitpid(child, &status, 0);
                break;
            }
            if (::flock(directory, LOCK_EX | LOCK_NB) == 0) {
                ++samples;
                disagreements += agree() ? 0 : 1;
                ::flock(directory, LOCK_UN);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    ::close(directory);
    EXPECT_LT(0u, samples);
    EXPECT_EQ(0u, disagreements) << "of " << samples;
    EXPECT_TRUE(agree());
    for (std::thread& importer : importers) importer.join();
    EXPECT_EQ(failures, std::vector<std::string>(8, "(returned)"));
    QAPThumbprintStore const thumbprints(kThumbprints);
    for (unsigned t = 0; t < 8; ++t) {
        for (unsigned i = 0; i < 25; ++i)
            EXPECT_EQ(made.thumbprint, thumbprints.LookupThumbprint(server(t, i))) << server(t, i);
    }
    EXPECT_TRUE(Temporaries().empty());
}

}  // namespace
