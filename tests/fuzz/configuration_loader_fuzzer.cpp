// The configuration loader on arbitrary file content, through a real file on a private tmpfs.
// A file either loads or is refused with one of the two line-numbered messages; what loads is
// written back atomically (or refused before the file is touched) and reads back as the same
// map, and no temporary file is ever left beside it.
#include <authentication/configuration.h>
#include <authentication/exceptions.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz_support.h"

using ostrel::authentication::Configuration;
using ostrel::authentication::ConfigurationError;

namespace {

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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::EnterScratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string const input(reinterpret_cast<char const*>(data), size);
    std::string const path = fuzz::ScratchDirectory() + "/fuzz.conf";
    fuzz::WriteFile(path, input);

    std::unique_ptr<Configuration> loaded;
    try {
        loaded.reset(new Configuration(path));
    } catch (ConfigurationError const& e) {
        fuzz::Check(IsLineError(e.what()), std::string("unexpected message: ") + e.what());
        return 0;
    }
    std::string written;
    if (!fuzz::CheckedWrite(*loaded, path, input, written)) return 0;
    Configuration const again(path);
    again.Write();
    fuzz::Check(fuzz::ReadFile(path) == written, "the written form is not stable");
    return 0;
}
