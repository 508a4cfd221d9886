#ifndef TESTS_SUPPORT_SANDBOX_H
#define TESTS_SUPPORT_SANDBOX_H

// Every test runs inside the private host of private_host.h: the test main enters the
// sandbox before any test, and SandboxTest gives each test fresh overlays.

#include <gtest/gtest.h>

#include "private_host.h"

namespace sandbox {

// A fixture giving each test a fresh private host (MountPrivateHost) named "sandbox-host".
// The captured log and recorded sleeps start empty. The file helpers of private_host.h fail
// the test (and throw) on any error.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace sandbox

#endif
