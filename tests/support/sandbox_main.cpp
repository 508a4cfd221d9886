#include <gtest/gtest.h>

#include "sandbox.h"

namespace sandbox {

void SandboxTest::SetUp() {
    MountPrivateHost();
    ClearCapturedLog();
    ClearRecordedSleeps();
}

void SandboxTest::TearDown() {
    UnmountPrivateHost();
}

}  // namespace sandbox

int main(int argc, char** argv) {
    // Namespaces first, while the process still has a single thread.
    sandbox::EnterSandbox();
    sandbox::SetFailureHandler([](std::string const& what) { ADD_FAILURE() << what; });
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
