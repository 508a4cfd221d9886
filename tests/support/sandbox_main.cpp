#include <gtest/gtest.h>

#include "sandbox.h"

int main(int argc, char** argv) {
    // Namespaces first, while the process still has a single thread.
    sandbox::EnterSandbox();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
