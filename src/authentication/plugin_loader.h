#ifndef AUTHENTICATION_PLUGIN_LOADER_H
#define AUTHENTICATION_PLUGIN_LOADER_H

#include <string>

namespace ostrel {
namespace authentication {

// Why a plug-in name read from a configuration file cannot be used, or "" when it can: it
// must not lead out of the plug-in directory.
std::string PluginNameProblem(std::string const& name);

// The dynamic loader's last error text, "" when it has none.
std::string LoaderError();

// Opens lib<name>.so from /usr/libexec/tslauth/lib/, else from /usr/libexec/tslauth/, with
// its symbols global. Returns nullptr when neither opens; LoaderError() then says why.
void* OpenPlugin(std::string const& name);

// Closes a plug-in that failed to load, unless it is handed over.
class PluginGuard {
public:
    explicit PluginGuard(void* handle) : handle(handle) {}
    ~PluginGuard();
    PluginGuard(PluginGuard const&) = delete;
    PluginGuard& operator=(PluginGuard const&) = delete;
    void* Release() {
        void* released = handle;
        handle = nullptr;
        return released;
    }

private:
    void* handle;
};

}  // namespace authentication
}  // namespace ostrel

#endif
