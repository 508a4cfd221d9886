#include "test_plugins.h"

#include <dlfcn.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "sandbox.h"

namespace test_plugins {

namespace {

char const* BuiltPath(Plugin plugin) {
    switch (plugin) {
        case Plugin::kScriptedProvider:
            return TSLAUTH_TEST_PLUGIN_SCRIPTED_PROVIDER;
        case Plugin::kEmptyProvider:
            return TSLAUTH_TEST_PLUGIN_EMPTY_PROVIDER;
        case Plugin::kVersion1Provider:
            return TSLAUTH_TEST_PLUGIN_VERSION1_PROVIDER;
        case Plugin::kAPI4Provider:
            return TSLAUTH_TEST_PLUGIN_API4_PROVIDER;
        case Plugin::kNegativeAPIProvider:
            return TSLAUTH_TEST_PLUGIN_NEGATIVE_API_PROVIDER;
        case Plugin::kNoMetadataProvider:
            return TSLAUTH_TEST_PLUGIN_NO_METADATA_PROVIDER;
        case Plugin::kNoOperationsProvider:
            return TSLAUTH_TEST_PLUGIN_NO_OPERATIONS_PROVIDER;
        case Plugin::kScriptedQAPProxy:
            return TSLAUTH_TEST_PLUGIN_SCRIPTED_QAP_PROXY;
        case Plugin::kNoCreateQAPProxy:
            return TSLAUTH_TEST_PLUGIN_NO_CREATE_QAP_PROXY;
        case Plugin::kNoTableQAPProxy:
            return TSLAUTH_TEST_PLUGIN_NO_TABLE_QAP_PROXY;
    }
    throw std::logic_error("unknown test plug-in");
}

// Refuses to write below a fixed path unless the path is covered by an overlay whose upper
// layer lies in this process's scratch directory, i.e. inside a running SandboxTest.
void RequireSandboxOverlay(std::string const& mountPoint) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string const upper = "upperdir=" + sandbox::ScratchDirectory() + "/";
    bool covered = false;
    std::string line;
    while (std::getline(mounts, line)) {
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
    RequireSandboxOverlay("/usr/libexec");
    std::string const path = PluginPath(name, where);
    sandbox::WriteFile(path, sandbox::ReadFile(BuiltPath(plugin)), 0755);
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
