// Configuration::Write on arbitrary maps: a map it accepts reads back equal, and a map it
// refuses leaves the file byte for byte as it was, with no temporary file beside it.
#include <authentication/configuration.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "fuzz_support.h"

using ostrel::authentication::Configuration;

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
    std::string const path = fuzz::ScratchDirectory() + "/fuzz.conf";
    fuzz::WriteFile(path, kBefore);

    Configuration configuration(path);
    configuration.clear();
    int const entries = provider.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < entries; ++i) {
        std::string key = provider.ConsumeRandomLengthString(64);
        std::string value = provider.ConsumeRandomLengthString(256);
        configuration.insert(Map::value_type(key, value));
    }
    std::string written;
    fuzz::CheckedWrite(configuration, path, kBefore, written);
    return 0;
}
