#include "test_plugins.h"

#include <dlfcn.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "sandbox.h"

namespace test_plugins {

namespace {

// Refuses to write below a fixed path unless the path is covered by an overlay whose upper
// layer lies in this process's scratch directory, i.e. inside a running SandboxTest.
void RequireSandboxOverlay(std::string const& mountPoint) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string const upper = "upperdir=" + sandbox::ScratchDirectory() + "/";
    bool covered = false;
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        // Later lines are mounted on top of earlier ones.
        if (point == mountPoint) covered = line.find(upper) != std::string::npos;
    }
    if (!covered) {
        ADD_FAILURE() << mountPoint << " is not the sandbox's overlay; use a SandboxTest";
        throw std::runtime_error(mountPoint + " is not sandboxed");
    }
}

void WriteConfiguration(std::string const& file, std::string const& name) {
    RequireSandboxOverlay("/etc");
    sandbox::WriteFile("/etc/ostrel/tslauth/" + file, "provider = " + name + "\n");
}

}  // namespace

std::string PluginPath(std::string const& name, Location where) {
    return std::string("/usr/libexec/tslauth/") +
           (where == Location::kLibSubdirectory ? "lib/" : "") + "lib" + name + ".so";
}

std::string InstallPlugin(Plugin plugin, std::string const& name, Location where) {
    char const* const built[] = {TSLAUTH_TEST_PLUGIN_SCRIPTED,      TSLAUTH_TEST_PLUGIN_EMPTY,
                                 TSLAUTH_TEST_PLUGIN_VERSION1,      TSLAUTH_TEST_PLUGIN_API4,
                                 TSLAUTH_TEST_PLUGIN_NEGATIVE_API,  TSLAUTH_TEST_PLUGIN_NO_METADATA,
                                 TSLAUTH_TEST_PLUGIN_NO_OPERATIONS, TSLAUTH_TEST_PLUGIN_NULL_MODULE,
                                 TSLAUTH_TEST_PLUGIN_LINE_BREAK,    TSLAUTH_TEST_PLUGIN_OVERLONG};
    RequireSandboxOverlay("/usr/libexec");
    std::string const path = PluginPath(name, where);
    sandbox::WriteFile(path, sandbox::ReadFile(built[static_cast<int>(plugin)]), 0755);
    return path;
}

void WriteProviderConfiguration(std::string const& name) {
    WriteConfiguration("provider.conf", name);
}

void WriteQAPProviderConfiguration(std::string const& name) {
    WriteConfiguration("qapprovider.conf", name);
}

bool IsLoaded(std::string const& path) {
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

}  // namespace test_plugins
