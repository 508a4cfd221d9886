#ifndef TESTS_SUPPORT_CAPABILITIES_H
#define TESTS_SUPPORT_CAPABILITIES_H

// While this object lives, the calling thread lacks the capabilities that let root (also in a
// user namespace) pass every permission check on files.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace sandbox {

class WithoutPermissionOverride {
public:
    WithoutPermissionOverride() {
        if (syscall(SYS_capget, &header, saved) != 0) Fail("capget");
        __user_cap_data_struct dropped[2] = {saved[0], saved[1]};
        dropped[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        if (syscall(SYS_capset, &header, dropped) != 0) Fail("capset");
    }
    ~WithoutPermissionOverride() {
        if (syscall(SYS_capset, &header, saved) != 0) ADD_FAILURE() << "capset restore";
    }

private:
    [[noreturn]] static void Fail(char const* what) {
        std::string text = std::string(what) + ": " + std::strerror(errno);
        ADD_FAILURE() << text;
        throw std::runtime_error(text);
    }

    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2] = {};
};

}  // namespace sandbox

#endif
