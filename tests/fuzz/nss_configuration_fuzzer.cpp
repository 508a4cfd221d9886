// The name-service switch reader on arbitrary bytes: it never fails on content, the writer
// takes whatever it read, the written form reads back as the same model and is written again
// byte for byte, and a line-based reading of its own, done as the C library does it, finds the
// same sources and criteria for every database in the input and in the written form.
#include <systemconfiguration/nss_configuration.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include "fuzz_support.h"

using namespace SystemConfiguration;

namespace {

bool SameConfiguration(NSSConfiguration const& a, NSSConfiguration const& b) {
    if (a.databases().size() != b.databases().size()) return false;
    for (auto x = a.databases().begin(), y = b.databases().begin(); x != a.databases().end();
         ++x, ++y) {
        if (!(x->first == y->first) || x->second.size() != y->second.size()) return false;
        for (std::size_t i = 0; i < x->second.size(); ++i) {
            if (!(x->second[i] == y->second[i])) return false;
        }
    }
    return true;
}

bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string Upper(std::string word) {
    for (char& c : word) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return word;
}

// One database line's sources as the C library takes them, each with its criteria as
// upper-case "STATUS=ACTION" words, or "!" when the library refuses the line.
std::string Sources(char const* p) {
    std::string sources;
    for (;;) {
        while (*p && Blank(*p)) ++p;
        char const* name = p;
        while (*p && !Blank(*p) && *p != '[') ++p;
        if (p == name) return sources;
        sources += std::string(name, p) + "{";
        while (*p && Blank(*p)) ++p;
        if (*p == '[') {
            ++p;
            do {
                while (*p && Blank(*p)) ++p;
                std::string criterion;
                if (*p == '!') criterion += *p++;
                char const* status = p;
                while (*p && !Blank(*p) && *p != '=' && *p != ']') ++p;
                std::string const s = Upper(std::string(status, p));
                if (s != "SUCCESS" && s != "NOTFOUND" && s != "UNAVAIL" && s != "TRYAGAIN")
                    return "!";
                while (*p && Blank(*p)) ++p;
                if (*p++ != '=') return "!";
                while (*p && Blank(*p)) ++p;
                char const* action = p;
                while (*p && !Blank(*p) && *p != '=' && *p != ']') ++p;
                std::string const a = Upper(std::string(action, p));
                if (a != "RETURN" && a != "CONTINUE" && a != "MERGE") return "!";
                sources += criterion + s + "=" + a + " ";
                while (*p && Blank(*p)) ++p;
            } while (*p != ']');
            ++p;
        }
        sources += "}";
    }
}

// Every database line of the text, the last of each name counting; "!" for a file the C
// library refuses as a whole. Like the C library, only lines ending with a line feed count.
std::map<std::string, std::string> AsTheCLibraryReads(std::string const& text) {
    std::map<std::string, std::string> databases;
    std::string::size_type begin = 0;
    for (std::string::size_type end; (end = text.find('\n', begin)) != std::string::npos;
         begin = end + 1) {
        std::string const line = text.substr(begin, end - begin);
        char const* p = line.c_str();
        while (*p && Blank(*p)) ++p;
        char const* name = p;
        while (*p && !Blank(*p) && *p != ':') ++p;
        if (p == name || *name == '#') continue;
        std::string const database(name, p);
        while (*p && (Blank(*p) || *p == ':')) ++p;
        std::string const sources = Sources(p);
        if (sources == "!") return {{"!", ""}};
        databases[database] = sources;
    }
    return databases;
}

std::string Write(NSSConfiguration const& configuration) {
    std::ostringstream out;
    out << configuration;
    fuzz::Check(out.good(), "writing to a string stream failed");
    return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string const input(reinterpret_cast<char const*>(data), size);
    NSSConfiguration configuration;
    std::istringstream in(input);
    in >> configuration;
    fuzz::Check(!in.bad(), "reading broke the stream");

    std::string const written = Write(configuration);
    NSSConfiguration again;
    std::istringstream back(written);
    back >> again;
    fuzz::Check(SameConfiguration(configuration, again),
                "the written form reads back differently\ninput: " + fuzz::Printable(input) +
                    "\nwritten: " + fuzz::Printable(written));
    // The model reads a last line without a line feed; so does this comparison.
    std::string const terminated = input.empty() || input.back() == '\n' ? input : input + "\n";
    fuzz::Check(AsTheCLibraryReads(terminated) == AsTheCLibraryReads(written),
                "the C library would read the written form differently\ninput: " +
                    fuzz::Printable(input) + "\nwritten: " + fuzz::Printable(written));
    fuzz::Check(Write(again) == written,
                "the written form is not stable\nwritten: " + fuzz::Printable(written));
    return 0;
}
