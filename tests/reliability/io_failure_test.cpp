// Writes that the file system refuses (full, read-only, no write permission) and failures
// injected at every file-system call of a rewrite: each is reported with the documented
// exception, and every file is then exactly its old or its new version, with no temporary
// file left (but the complete one a failed rename leaves, as documented).
#include <authentication/no_remote_authentication_store.h>
#include <authentication/qap_thumbprint_store.h>
#include <sys/stat.h>

#include <functional>

#include "capabilities.h"
#include "fault_injection.h"
#include "reliability_fixture.h"

using namespace ostrel::authentication;
using namespace reliability;
using fault_injection::Call;

namespace {

// How a file system comes to refuse a write into the directory, and what the refusal says.
struct Refusal {
    char const* name;
    std::function<void(std::string const& directory)> impose;
    bool dropPermissionOverride;
    std::string error;
};

std::vector<Refusal> const kRefusals = {
    {"full", [](std::string const& directory) { Fill(directory); }, false,
     "No space left on device"},
    {"read-only", [](std::string const& directory) { sandbox::RemountReadOnly(directory); }, false,
     "Read-only file system"},
    {"no write permission",
     [](std::string const& directory) { ASSERT_EQ(0, chmod(directory.c_str(), 0555)); }, true,
     "Permission denied"},
};

// The message each refusal gives for a target: a full file system accepts the temporary file
// but not its content.
std::string RefusalMessage(Refusal const& refusal, std::string const& target) {
    if (refusal.error == "No space left on device") {
        return Named(typeid(IOError), "Unable to write '" + target + "': " + refusal.error);
    }
    return Named(typeid(IOError),
                 "Unable to create temporary file to write '" + target + "': " + refusal.error);
}

class IOFailureTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        sandbox::WriteFile(kConf, kNone, 0644);
        sandbox::WriteFile(kPAM, kRedHatStyle, 0640);
        sandbox::WriteFile(kThumbprints, "192.0.2.1 = \"AB:CD\"\n", 0600);
        ActiveDirectoryStore(60).MakeActive();
        activePAM = sandbox::ReadFile(kPAM);
        activeConf = sandbox::ReadFile(kConf);
        NoRemoteAuthenticationStore().MakeActive();
        inactivePAM = sandbox::ReadFile(kPAM);
        noneConf = sandbox::ReadFile(kConf);
    }

    // A fresh small tmpfs over the directory holding these files; Unstack removes it again.
    void Stack(std::string const& directory, std::map<std::string, FileState> const& files) {
        sandbox::MountTmpfs(directory, 64 * 1024);
        for (auto const& file : files) {
            sandbox::WriteFile(file.first, file.second.content, file.second.mode);
        }
    }
    void Unstack(std::string const& directory) {
        ASSERT_EQ(0, umount2(directory.c_str(), MNT_DETACH)) << directory;
    }

    std::string activePAM, activeConf, inactivePAM, noneConf;
};

// Runs the call with the permission-override capabilities dropped when the refusal needs it.
std::string Attempt(Refusal const& refusal, std::function<void()> const& call) {
    if (!refusal.dropPermissionOverride) return WhatThrown(call);
    sandbox::WithoutPermissionOverride unprivileged;
    return WhatThrown(call);
}

}  // namespace

TEST_F(IOFailureTest, RefusedPAMWritesLeaveEveryFileAsItWas) {
    ActiveDirectoryStore store(60);
    NoRemoteAuthenticationStore none;
    struct Operation {
        char const* name;
        std::string pam;
        std::string conf;
        std::function<void()> call;
    } const operations[] = {
        {"MakeActive", kRedHatStyle, noneConf, [&] { store.MakeActive(); }},
        {"MakeInactive", activePAM, activeConf, [&] { store.MakeInactive(); }},
        // The record says "None" first, then the deactivation cannot rewrite the PAM file:
        // the record goes back.
        {"None.MakeActive", activePAM, activeConf, [&] { none.MakeActive(); }},
    };
    for (Refusal const& refusal : kRefusals) {
        for (Operation const& operation : operations) {
            SCOPED_TRACE(std::string(refusal.name) + ", " + operation.name);
            sandbox::WriteFile(kConf, operation.conf, 0644);
            Stack(kPAMDirectory, {{kPAM, FileState{operation.pam, 0640}}});
            refusal.impose(kPAMDirectory);
            Files before = Snapshot();
            EXPECT_EQ(RefusalMessage(refusal, kPAM), Attempt(refusal, operation.call));
            EXPECT_TRUE(before == Snapshot());
            EXPECT_TRUE(Temporaries().empty());
            Unstack(kPAMDirectory);
        }
    }
}

TEST_F(IOFailureTest, RefusedRecordWritesKeepTheOldRecord) {
    ActiveDirectoryStore store(60);
    Files const stored = Snapshot({kStoreDirectory});
    for (Refusal const& refusal : kRefusals) {
        SCOPED_TRACE(refusal.name);
        sandbox::WriteFile(kPAM, kRedHatStyle, 0640);
        Stack(kStoreDirectory, stored);
        sandbox::WriteFile(kConf, noneConf, 0644);
        refusal.impose(kStoreDirectory);
        Files before = Snapshot({kStoreDirectory});
        // The PAM file is replaced first, then put back as it was; the record keeps its value.
        EXPECT_EQ(RefusalMessage(refusal, kConf), Attempt(refusal, [&] { store.MakeActive(); }));
        EXPECT_EQ(kRedHatStyle, sandbox::ReadFile(kPAM));
        EXPECT_EQ(0640u, sandbox::FileMode(kPAM));
        EXPECT_TRUE(before == Snapshot({kStoreDirectory}));
        EXPECT_TRUE(Temporaries().empty());

        // The same for the thumbprint file.
        EXPECT_EQ(RefusalMessage(refusal, kThumbprints), Attempt(refusal, [&] {
                      QAPThumbprintStore(kThumbprints).ImportThumbprint("EF:01", "192.0.2.9");
                  }));
        EXPECT_TRUE(before == Snapshot({kStoreDirectory}));
        EXPECT_TRUE(Temporaries().empty());
        Unstack(kStoreDirectory);
    }
}

// Every file-system call of a rewrite made to fail in turn. Figures go to the test's output.
TEST_F(IOFailureTest, AFailureAtAnyCallLeavesOldOrNewFilesOnly) {
    ActiveDirectoryStore store(60);
    NoRemoteAuthenticationStore none;
    int const errors[fault_injection::kCallKinds] = {ENOSPC /* mkostemp */,
                                                     EMFILE /* fopen64 */,
                                                     ENOSPC /* write */,
                                                     EPERM /* fchmod */,
                                                     EIO /* fsync */,
                                                     EIO /* close */,
                                                     EXDEV /* rename */,
                                                     EMFILE /* open */,
                                                     EIO /* read */,
                                                     EACCES /* stat */,
                                                     EIO /* fchown */};
    struct Operation {
        char const* name;
        Files before;
        std::function<void()> call;
    };
    Files const inactive = Snapshot();
    Files active = inactive;
    active[kPAM].content = activePAM;
    active[kConf].content = activeConf;
    Operation const operations[] = {
        {"MakeActive", inactive, [&] { store.MakeActive(); }},
        {"MakeInactive", active, [&] { store.MakeInactive(); }},
        {"None.MakeActive", active, [&] { none.MakeActive(); }},
        {"ImportThumbprint", inactive,
         [&] { QAPThumbprintStore(kThumbprints).ImportThumbprint("EF:01", "192.0.2.9"); }},
    };
    auto restore = [](Files const& files) {
        for (auto const& file : files) {
            sandbox::WriteFile(file.first, file.second.content, file.second.mode);
        }
    };
    unsigned injected = 0;
    for (Operation const& operation : operations) {
        // What the operation does when nothing fails, and which calls it makes.
        restore(operation.before);
        fault_injection::Injector counting;
        operation.call();
        std::array<unsigned, fault_injection::kCallKinds> counts;
        for (int call = 0; call < fault_injection::kCallKinds; ++call) {
            counts[call] = counting.Count(static_cast<Call>(call));
        }
        Files const after = Snapshot();
        ASSERT_FALSE(operation.before == after) << operation.name << " changed nothing";

        for (int call = 0; call < fault_injection::kCallKinds; ++call) {
            for (unsigned nth = 1; nth <= counts[call]; ++nth) {
                Call const kind = static_cast<Call>(call);
                SCOPED_TRACE(std::string(operation.name) + ": " + fault_injection::NameOf(kind) +
                             " #" + std::to_string(nth));
                restore(operation.before);
                counting.FailCall(kind, nth, errors[call]);
                std::string const thrown = WhatThrown(operation.call);
                ASSERT_TRUE(counting.Injected()) << thrown;
                counting.FailCall(kind, 0, 0);
                ++injected;
                bool const permissions =
                    thrown.rfind(Named(typeid(FilePermissionError), ""), 0) == 0;
                bool const io = thrown.rfind(Named(typeid(IOError), ""), 0) == 0;
                // A failure that changes nothing may go unreported (closing a file that was
                // read); every other one is reported as a documented exception.
                if (thrown == "(returned)") {
                    EXPECT_TRUE(Snapshot() == after);
                    continue;
                }
                // Switching to "None" reads provider.conf to find the store to deactivate;
                // an unreadable one is reported as no provider installed.
                bool const noProvider =
                    thrown == Named(typeid(InvalidActiveDirectoryProviderException),
                                    "The specified Active Directory provider '(none installed)' "
                                    "is invalid");
                EXPECT_TRUE(permissions || io || noProvider) << thrown;
                // Only a failed rename leaves its temporary file: complete, the new version.
                std::vector<std::string> left = Temporaries();
                if (kind == fault_injection::kRename) {
                    ASSERT_EQ(1u, left.size());
                    std::string const target = left[0].substr(0, left[0].size() - 7);
                    EXPECT_EQ(after.at(target).content, sandbox::ReadFile(left[0]));
                    unlink(left[0].c_str());
                } else {
                    EXPECT_TRUE(left.empty()) << left.size() << " left";
                }
                Files const now = Snapshot();
                ASSERT_EQ(after.size(), now.size());
                for (auto const& file : now) {
                    FileState const& old = operation.before.at(file.first);
                    FileState const& updated = after.at(file.first);
                    if (file.second == old || file.second == updated) continue;
                    // Documented: when the bits cannot be carried over, the new file is in
                    // place with the owner-only bits it was created with.
                    EXPECT_TRUE(permissions && file.second.content == updated.content &&
                                file.second.mode == 0600)
                        << file.first;
                }
                EXPECT_TRUE(ParsesAsPAM(now.at(kPAM).content));
                // Switching is all-or-nothing: the record and the PAM file agree.
                bool const pamChanged = now.at(kPAM).content != operation.before.at(kPAM).content;
                bool const confChanged =
                    now.at(kConf).content != operation.before.at(kConf).content;
                if (std::string(operation.name) != "ImportThumbprint" &&
                    std::string(operation.name) != "MakeInactive") {
                    EXPECT_EQ(pamChanged, confChanged);
                }
                // Once the fault is gone, doing it again gets there (the bits a failed
                // permission change left stay when the content needs no change).
                EXPECT_EQ("(returned)", WhatThrown(operation.call));
                for (auto const& file : Snapshot()) {
                    EXPECT_EQ(after.at(file.first).content, file.second.content) << file.first;
                }
            }
        }
    }
    std::cout << "[ figures  ] faults injected: " << injected << std::endl;
    EXPECT_LT(80u, injected);
}
