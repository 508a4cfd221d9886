#include "fuzz_support.h"

#include <authentication/exceptions.h>

#include <cstdio>
#include <cstdlib>
#include <map>

namespace fuzz {

void Fail(std::string const& what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void EnterScratch() {
    sandbox::EnterSandbox();
    sandbox::SetFailureHandler([](std::string const& what) { Fail(what); });
}

std::string Printable(std::string const& bytes) {
    std::string shown;
    for (unsigned char c : bytes) {
        if (c == '\\') {
            shown += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            shown += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        }
    }
    return shown;
}

bool CheckedWrite(ostrel::authentication::Configuration const& configuration,
                  std::string const& path, std::string const& before, std::string& written) {
    typedef std::map<std::string, std::string> Map;
    std::string const& directory = ScratchDirectory();
    std::vector<std::string> const listing = ListDirectory(directory);
    try {
        configuration.Write();
    } catch (ostrel::authentication::ConfigurationError const& e) {
        std::string const prefix = "Unable to write configuration '" + path + "': ";
        Check(std::string(e.what()).compare(0, prefix.size(), prefix) == 0, e.what());
        Check(ReadFile(path) == before, "a refused write changed the file");
        Check(ListDirectory(directory) == listing, "a refused write left a file");
        return false;
    }
    Check(ListDirectory(directory) == listing, "a write left a temporary file");
    written = ReadFile(path);
    ostrel::authentication::Configuration const again(path);
    Check(static_cast<Map const&>(again) == static_cast<Map const&>(configuration),
          "the written file reads back differently\nwritten: " + Printable(written));
    return true;
}

}  // namespace fuzz
