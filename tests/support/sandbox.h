#ifndef TESTS_SUPPORT_SANDBOX_H
#define TESTS_SUPPORT_SANDBOX_H

// The test main (sandbox_main.cpp) enters the private host of private_host.h before any test.
#include <gtest/gtest.h>

#include "private_host.h"

namespace sandbox {

// A fresh private host named "sandbox-host" per test, the captured log and recorded sleeps
// empty. The file helpers of private_host.h fail the test (and throw) on any error.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace sandbox

#endif
