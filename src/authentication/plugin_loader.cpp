#include "plugin_loader.h"

#include <dlfcn.h>

#include "paths.h"

namespace ostrel {
namespace authentication {

namespace {

using paths::kPluginDirectory;

}  // namespace

std::string PluginNameProblem(std::string const& name) {
    if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos) {
        return "a provider name must not contain '/' or NUL characters";
    }
    return "";
}

std::string LoaderError() {
    char const* text = dlerror();
    return text != nullptr ? text : "";
}

void* OpenPlugin(std::string const& name) {
    std::string const file = "lib" + name + ".so";
    std::string const first = std::string(kPluginDirectory) + "lib/" + file;
    std::string const second = std::string(kPluginDirectory) + file;
    dlerror();
    void* opened = dlopen(first.c_str(), RTLD_LAZY | RTLD_GLOBAL);
    if (opened == nullptr) {
        dlerror();
        opened = dlopen(second.c_str(), RTLD_LAZY | RTLD_GLOBAL);
    }
    return opened;
}

PluginGuard::~PluginGuard() {
    if (handle != nullptr) dlclose(handle);
}

}  // namespace authentication
}  // namespace ostrel
