#include "sandbox.h"

void sandbox::SandboxTest::SetUp() {
    MountPrivateHost();
    ClearCapturedLog();
    ClearRecordedSleeps();
}

void sandbox::SandboxTest::TearDown() {
    UnmountPrivateHost();
}

int main(int argc, char** argv) {
    sandbox::EnterSandbox();  // while the process still has a single thread
    sandbox::SetFailureHandler([](std::string const& what) { ADD_FAILURE() << what; });
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
