// The NSS reader never fails on content, round-trips, and a reading as the C library does it
// finds the same sources and criteria for every database in the input and the written form.
#include <systemconfiguration/nss_configuration.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>

#include "fuzz_support.h"

using namespace SystemConfiguration;

namespace {

bool Blank(char c) {
    return c != '\0' && std::strchr(" \t\n\v\f\r", c) != nullptr;
}

// Up to a blank or one of `stops`, upper-cased.
std::string Word(char const*& p, char const* stops) {
    std::string word;
    for (; *p && !Blank(*p) && !std::strchr(stops, *p); ++p) {
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    }
    return word;
}

// One line's sources with their "STATUS=ACTION" criteria; "!" when the library refuses it.
std::string Sources(char const* p) {
    std::string sources;
    auto skip = [&p] {
        while (Blank(*p)) ++p;
    };
    for (;;) {
        skip();
        char const* name = p;
        Word(p, "[");
        if (p == name) return sources;
        sources += std::string(name, p) + "{";
        skip();
        if (*p == '[') {
            ++p;
            do {
                skip();
                if (*p == '!') sources += *p++;
                std::string const status = Word(p, "=]");
                skip();
                if (*p++ != '=') return "!";
                skip();
                std::string const action = Word(p, "=]");
                if (!std::strstr(" SUCCESS NOTFOUND UNAVAIL TRYAGAIN ",
                                 (' ' + status + ' ').c_str()) ||
                    !std::strstr(" RETURN CONTINUE MERGE ", (' ' + action + ' ').c_str()))
                    return "!";
                sources += status + "=" + action + " ";
                skip();
            } while (*p != ']');
            ++p;
        }
        sources += "}";
    }
}

// The last line of each database ending with a line feed; "!" for a file it refuses.
std::map<std::string, std::string> AsTheCLibraryReads(std::string const& text) {
    std::map<std::string, std::string> databases;
    for (std::size_t begin = 0, end; (end = text.find('\n', begin)) != std::string::npos;
         begin = end + 1) {
        std::string const line = text.substr(begin, end - begin);
        char const* p = line.c_str();
        while (Blank(*p)) ++p;
        char const* name = p;
        while (*p && !Blank(*p) && *p != ':') ++p;
        if (p == name || *name == '#') continue;
        std::string const database(name, p);
        while (Blank(*p) || *p == ':') ++p;
        std::string const sources = Sources(p);
        if (sources == "!") return {{"!", ""}};
        databases[database] = sources;
    }
    return databases;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string const input(reinterpret_cast<char const*>(data), size);
    NSSConfiguration configuration;
    std::istringstream in(input);
    in >> configuration;
    fuzz::Check(!in.bad(), "reading broke the stream");
    std::string const written =
        fuzz::CheckRoundTrip(configuration, NSSConfiguration(),
                             [](NSSConfiguration const& a, NSSConfiguration const& b) {
                                 return a.databases() == b.databases();
                             });
    // The model reads a last line without a line feed; so does this comparison.
    std::string const terminated = input.empty() || input.back() == '\n' ? input : input + "\n";
    fuzz::Check(AsTheCLibraryReads(terminated) == AsTheCLibraryReads(written),
                "the C library would read the written form differently");
    return 0;
}
