// Input starting with byte 1: a map to write (reads back equal, or refused leaving the file);
// else a file to load (or refused with a line-numbered message), written stably.
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <map>
#include <memory>
#include <regex>

#include "fuzz_support.h"

using ostrel::authentication::Configuration;
using ostrel::authentication::ConfigurationError;
typedef std::map<std::string, std::string> Map;

namespace {

std::regex const kLineError(
    "Error parsing configuration (on line [0-9]+: no delimiter found|at line [0-9]+: invalid "
    "quoting)");

// Writes, checking the contract; returns whether the write was accepted.
bool CheckedWrite(Configuration const& configuration, std::string const& path,
                  std::string const& before) {
    bool accepted = true;
    try {
        configuration.Write();
    } catch (ConfigurationError const& e) {
        std::string const prefix = "Unable to write configuration '" + path + "': ";
        fuzz::Check(std::string(e.what()).rfind(prefix, 0) == 0, e.what());
        fuzz::Check(sandbox::ReadFile(path) == before, "a refused write changed the file");
        accepted = false;
    }
    fuzz::Check(!accepted || static_cast<Map const&>(Configuration(path)) ==
                                 static_cast<Map const&>(configuration),
                "the written file reads back differently");
    return accepted;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sandbox::EnterSandbox();  // its scratch tmpfs holds the file; a failing file helper aborts
    sandbox::SetFailureHandler([](std::string const& what) { fuzz::Check(false, what); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string const path = sandbox::ScratchDirectory() + "/fuzz.conf";
    if (size > 0 && data[0] == 1) {
        std::string const before = "previous = \"content\"\n";
        FuzzedDataProvider provider(data + 1, size - 1);
        sandbox::WriteFile(path, before);
        Configuration configuration(path);
        configuration.clear();
        for (int i = provider.ConsumeIntegralInRange(0, 8); i > 0; --i) {
            std::string const key = provider.ConsumeRandomLengthString(64);
            configuration.insert(std::make_pair(key, provider.ConsumeRandomLengthString(256)));
        }
        CheckedWrite(configuration, path, before);
        return 0;
    }
    std::string const input(reinterpret_cast<char const*>(data), size);
    sandbox::WriteFile(path, input);
    std::unique_ptr<Configuration> loaded;
    try {
        loaded.reset(new Configuration(path));
    } catch (ConfigurationError const& e) {
        fuzz::Check(std::regex_match(e.what(), kLineError), std::string("unexpected: ") + e.what());
        return 0;
    }
    if (!CheckedWrite(*loaded, path, input)) return 0;
    std::string const written = sandbox::ReadFile(path);
    Configuration(path).Write();
    fuzz::Check(sandbox::ReadFile(path) == written, "the written form is not stable");
    return 0;
}
