#ifndef TESTS_STORE_STORE_FIXTURE_H
#define TESTS_STORE_STORE_FIXTURE_H

#include <authentication/active_directory_store.h>
#include <authentication/exceptions.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <typeinfo>

#include "sandbox.h"
#include "test_plugins.h"
#include "what_thrown.h"

// Waits, boundedly, for something a detached worker does after the test let it go.
template <class Condition>
bool Eventually(Condition condition) {
    for (int i = 0; i < 4000 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

// A sandbox with the scripted provider installed as "scripted" and named in provider.conf.
class StoreTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        sandbox::SandboxTest::SetUp();
        pluginPath = Install(test_plugins::Plugin::kScriptedProvider, "scripted");
        test_plugins::WriteProviderConfiguration("scripted");
        script.reset(new test_plugins::ProviderScript());
    }

    // Every worker has finished before the next test: released, it lets go of the plug-in last.
    void TearDown() override {
        for (int slot = 1; slot <= 16; ++slot)
            script->Release(static_cast<test_plugins::Slot>(slot));
        for (std::string const& path : installed) EXPECT_TRUE(Unloaded(path)) << path;
        script.reset();
        sandbox::SandboxTest::TearDown();
    }

    // Waits, boundedly, until no store or finishing worker holds the plug-in.
    static bool Unloaded(std::string const& path) {
        return Eventually([&] { return !test_plugins::IsLoaded(path); });
    }

    std::string Install(test_plugins::Plugin plugin, std::string const& name) {
        installed.push_back(test_plugins::InstallPlugin(plugin, name));
        return installed.back();
    }

    // The warnings and other lines logged since the test began, as "priority text".
    std::vector<std::string> Log() const {
        std::vector<std::string> lines;
        for (sandbox::LogLine const& line : sandbox::CapturedLog()) {
            lines.push_back(std::to_string(line.priority) + " " + line.text);
        }
        return lines;
    }

    std::string pluginPath;
    std::vector<std::string> installed;
    std::unique_ptr<test_plugins::ProviderScript> script;
};

#endif
