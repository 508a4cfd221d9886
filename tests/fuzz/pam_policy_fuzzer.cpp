// The PAM reader refuses a file (policy empty, stream failed) or reads it: it round-trips, and
// a reading as the PAM library does it finds the same statements in input and written form.
#include <systemconfiguration/pam_policy.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "fuzz_support.h"

using namespace SystemConfiguration;

namespace {

// Stricter than PAMEntry equality: bracketed control texts must match too.
bool SameEntry(PAMEntry const& a, PAMEntry const& b) {
    return a == b && a.control() == b.control();
}

bool SamePolicy(PAMPolicy const& a, PAMPolicy const& b) {
    auto same = [](PAMPolicy::Stacks::value_type const& x, PAMPolicy::Stacks::value_type const& y) {
        return x.first == y.first && x.second.Facility() == x.first &&
               y.second.Facility() == y.first &&
               std::equal(x.second.begin(), x.second.end(), y.second.begin(), y.second.end(),
                          SameEntry);
    };
    return std::equal(a.stacks().begin(), a.stacks().end(), b.stacks().begin(), b.stacks().end(),
                      same);
}

// Fields as the PAM library hands them on: brackets off, "\]" read as "]", blank: " \t\n".
std::vector<std::string> Fields(std::string const& line) {
    std::vector<std::string> fields;
    std::string::size_type i = 0;
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\n')) ++i;
        if (i == line.size()) return fields;
        std::string field;
        if (line[i] == '[') {
            for (++i; i < line.size() && line[i] != ']'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == ']') ++i;
                field += line[i];
            }
            ++i;
        } else {
            for (; i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\n'; ++i)
                field += line[i];
        }
        fields.push_back(field);
    }
}

std::string Lower(std::string word) {
    for (char& c : word) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return word;
}

// Each facility's statements: "-" mark, control settings, module and arguments.
std::map<std::string, std::vector<std::string> > AsThePAMLibraryReads(std::string const& text) {
    std::map<std::string, std::vector<std::string> > facilities;
    std::string logical;
    for (std::size_t begin = 0, end; begin < text.size(); begin = end + 1) {
        end = std::min(text.find('\n', begin), text.size());
        std::string const line = text.substr(begin, end - begin);
        std::size_t const first = line.find_first_not_of(" \t"),
                          last = line.find_last_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        if (line.find('#') == std::string::npos && line[last] == '\\') {
            logical += line.substr(0, last) + " ";
            continue;
        }
        std::vector<std::string> const fields = Fields(logical + line.substr(0, line.find('#')));
        logical.clear();
        std::string facility = fields[0], statement = facility[0] == '-' ? "-<" : "<", setting;
        if (facility[0] == '-') facility.erase(0, 1);
        std::istringstream settings(fields[1]);
        while (settings >> setting) statement += Lower(setting) + " ";
        statement += ">";
        for (std::size_t i = 2; i < fields.size(); ++i) statement += "|" + fields[i];
        facilities[Lower(facility)].push_back(statement);
    }
    return facilities;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string const input(reinterpret_cast<char const*>(data), size);
    std::istringstream in(input);
    PAMPolicy policy("fuzz");
    try {
        in >> policy;
    } catch (std::exception const& e) {
        fuzz::Check(std::string(e.what()).rfind("Invalid ", 0) == 0, e.what());
        fuzz::Check(in.fail() && policy.stacks().empty(), "a refused read kept something");
        return 0;
    }
    fuzz::Check(!in.fail(), "an accepted read failed the stream");
    std::string const written = fuzz::CheckRoundTrip(policy, PAMPolicy("fuzz"), SamePolicy);
    fuzz::Check(AsThePAMLibraryReads(input) == AsThePAMLibraryReads(written),
                "the PAM library would read the written form differently");
    return 0;
}
