// The configuration files' reader and writer on arbitrary input, through a real file on a
// private tmpfs. An input that starts with byte 1 is a map to write; any other is a file's
// content to load.
// - Loading: a file either loads or is refused with one of the two line-numbered messages;
//   what loads is written back atomically (or refused before the file is touched) and reads
//   back as the same map, and no temporary file is ever left beside it.
// - Writing: a map the writer accepts reads back equal; a map it refuses leaves the file byte
//   for byte as it was, with no temporary file beside it.
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "fuzz_support.h"

using ostrel::authentication::Configuration;
using ostrel::authentication::ConfigurationError;

namespace {

std::string const kBefore = "previous = \"content\"\n";

bool IsLineError(std::string const& message) {
    for (char const* prefix :
         {"Error parsing configuration on line ", "Error parsing configuration at line "}) {
        std::string const start(prefix);
        if (message.compare(0, start.size(), start) != 0) continue;
        std::string::size_type digits = message.find_first_not_of("0123456789", start.size());
        if (digits == start.size() || digits == std::string::npos) return false;
        std::string const rest = message.substr(digits);
        return rest == ": no delimiter found" || rest == ": invalid quoting";
    }
    return false;
}

void Load(std::string const& input, std::string const& path) {
    fuzz::WriteFile(path, input);
    std::unique_ptr<Configuration> loaded;
    try {
        loaded.reset(new Configuration(path));
    } catch (ConfigurationError const& e) {
        fuzz::Check(IsLineError(e.what()), std::string("unexpected message: ") + e.what());
        return;
    }
    std::string written;
    if (!fuzz::CheckedWrite(*loaded, path, input, written)) return;
    Configuration const again(path);
    again.Write();
    fuzz::Check(fuzz::ReadFile(path) == written, "the written form is not stable");
}

void Write(std::uint8_t const* data, std::size_t size, std::string const& path) {
    FuzzedDataProvider provider(data, size);
    fuzz::WriteFile(path, kBefore);
    Configuration configuration(path);
    configuration.clear();
    int const entries = provider.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < entries; ++i) {
        std::string key = provider.ConsumeRandomLengthString(64);
        std::string value = provider.ConsumeRandomLengthString(256);
        configuration.insert(std::make_pair(key, value));
    }
    std::string written;
    fuzz::CheckedWrite(configuration, path, kBefore, written);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::EnterScratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string const path = fuzz::ScratchDirectory() + "/fuzz.conf";
    if (size > 0 && data[0] == 1) {
        Write(data + 1, size - 1, path);
    } else {
        Load(std::string(reinterpret_cast<char const*>(data), size), path);
    }
    return 0;
}
