// Configuration::Write on arbitrary maps: a map it accepts reads back equal, and a map it
// refuses leaves the file byte for byte as it was, with no temporary file beside it.
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"

using ostrel::authentication::Configuration;
using ostrel::authentication::ConfigurationError;

namespace {

typedef std::map<std::string, std::string> Map;

std::string const kBefore = "previous = \"content\"\n";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::EnterScratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    std::string const& directory = fuzz::ScratchDirectory();
    std::string const path = directory + "/fuzz.conf";
    std::vector<std::string> const alone{"fuzz.conf"};
    fuzz::WriteFile(path, kBefore);

    Configuration configuration(path);
    configuration.clear();
    int const entries = provider.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < entries; ++i) {
        std::string key = provider.ConsumeRandomLengthString(64);
        std::string value = provider.ConsumeRandomLengthString(256);
        configuration.insert(Map::value_type(key, value));
    }
    try {
        configuration.Write();
    } catch (ConfigurationError const& e) {
        std::string const prefix = "Unable to write configuration '" + path + "': ";
        fuzz::Check(std::string(e.what()).compare(0, prefix.size(), prefix) == 0, e.what());
        fuzz::Check(fuzz::ReadFile(path) == kBefore, "a refused write changed the file");
        fuzz::Check(fuzz::ListDirectory(directory) == alone, "a refused write left a file");
        return 0;
    }
    fuzz::Check(fuzz::ListDirectory(directory) == alone, "a write left a temporary file");
    std::string const written = fuzz::ReadFile(path);
    Configuration const again(path);
    fuzz::Check(static_cast<Map const&>(again) == static_cast<Map const&>(configuration),
                "an accepted map reads back differently\nwritten: " + fuzz::Printable(written));
    return 0;
}
