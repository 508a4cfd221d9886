// GetKeyValuePair on arbitrary lines: it fails only with the two line-numbered messages, the
// key never holds the delimiter, and a pair that the writer's form can carry comes back
// unchanged from the line the writer would make of it.
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "fuzz_support.h"

using ostrel::authentication::ConfigurationError;
using ostrel::authentication::GetKeyValuePair;

namespace {

typedef std::pair<std::string, std::string> Entry;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

// Whether `key = "value"` is the line of this pair in a written file (the writer refuses the
// others).
bool Writable(Entry const& entry) {
    std::string const& key = entry.first;
    if (key.empty() || key.find('\n') != std::string::npos || key.find('=') != std::string::npos)
        return false;
    if (IsBlank(key[0]) || IsBlank(key[key.size() - 1])) return false;
    if (IsQuote(key[0]) && key[key.size() - 1] == key[0]) return false;
    return entry.second.find('\n') == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    int const number = provider.ConsumeIntegral<int>();
    std::string const line = provider.ConsumeRemainingBytesAsString();
    Entry entry;
    try {
        entry = GetKeyValuePair(line, number);
    } catch (ConfigurationError const& e) {
        std::string const message = e.what();
        std::string const n = std::to_string(number);
        if (line.find('=') == std::string::npos) {
            fuzz::Check(
                message == "Error parsing configuration on line " + n + ": no delimiter found",
                message);
        } else {
            fuzz::Check(message == "Error parsing configuration at line " + n + ": invalid quoting",
                        message);
        }
        return 0;
    }
    fuzz::Check(line.find('=') != std::string::npos, "a line without '=' was accepted");
    fuzz::Check(entry.first.find('=') == std::string::npos, "the key holds the delimiter");
    if (Writable(entry)) {
        std::string const written = entry.first + " = \"" + entry.second + "\"";
        fuzz::Check(GetKeyValuePair(written, number) == entry,
                    "the written line reads back differently\nline: " + fuzz::Printable(line) +
                        "\nwritten: " + fuzz::Printable(written));
    }
    return 0;
}
