// The PAM reader on arbitrary bytes. It may refuse a file, leaving the policy empty and the
// stream failed, but never otherwise fail; whatever it read the writer puts out in a form that
// reads back as the same model, is written again byte for byte, and that a line-based reading
// of its own, done as the PAM library does it, finds to hold the same statements per facility
// as the input.
#include <systemconfiguration/pam_policy.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.h"

using namespace SystemConfiguration;

namespace {

// Stricter than PAMEntry equality: bracketed control texts must match too.
bool SameEntry(PAMEntry const& a, PAMEntry const& b) {
    return a == b && a.control() == b.control();
}

bool SamePolicy(PAMPolicy const& a, PAMPolicy const& b) {
    if (a.stacks().size() != b.stacks().size()) return false;
    for (auto x = a.stacks().begin(), y = b.stacks().begin(); x != a.stacks().end(); ++x, ++y) {
        if (!(x->first == y->first) || !(x->second.Facility() == x->first) ||
            !(y->second.Facility() == y->first) || x->second.size() != y->second.size()) {
            return false;
        }
        for (std::size_t i = 0; i < x->second.size(); ++i) {
            if (!SameEntry(x->second[i], y->second[i])) return false;
        }
    }
    return true;
}

// The fields of one line as the PAM library hands them on: brackets taken off, "\]" read as
// "]", separators only space, tab and line feed.
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

// The statements of each facility in order, one string each: a "-" mark, the control (a
// bracketed one as its whitespace-separated settings), the module and the arguments.
std::map<std::string, std::vector<std::string> > AsThePAMLibraryReads(std::string const& text) {
    std::map<std::string, std::vector<std::string> > facilities;
    std::string logical;
    std::string::size_type begin = 0;
    while (begin < text.size()) {
        std::string::size_type end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        std::string const line = text.substr(begin, end - begin);
        begin = end + 1;
        std::string::size_type const first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        bool complete = true;
        if (line.find('#') != std::string::npos) {
            logical += line.substr(0, line.find('#'));
        } else if (line[line.find_last_not_of(" \t")] == '\\') {
            logical += line.substr(0, line.find_last_not_of(" \t")) + " ";
            complete = false;
        } else {
            logical += line;
        }
        if (!complete) continue;
        std::vector<std::string> fields = Fields(logical);
        logical.clear();
        std::string statement;
        std::string facility = fields[0];
        if (!facility.empty() && facility[0] == '-') {
            statement = "-";
            facility.erase(0, 1);
        }
        std::istringstream settings(fields[1]);
        std::string setting;
        statement += "<";
        while (settings >> setting) statement += Lower(setting) + " ";
        statement += ">";
        for (std::size_t i = 2; i < fields.size(); ++i) statement += "|" + fields[i];
        facilities[Lower(facility)].push_back(statement);
    }
    return facilities;
}

std::string Write(PAMPolicy const& policy) {
    std::ostringstream out;
    out << policy;
    fuzz::Check(out.good(), "writing to a string stream failed");
    return out.str();
}

// The entry reader on its own: one statement without its facility.
void CheckEntryRoundTrip(std::string const& input) {
    PAMEntry entry;
    std::istringstream in(input);
    try {
        in >> entry;
    } catch (InvalidControlException const&) {
        fuzz::Check(in.fail(), "a refused entry left the stream good");
        return;
    } catch (InvalidEntryException const&) {
        fuzz::Check(in.fail(), "a refused entry left the stream good");
        return;
    }
    std::ostringstream out;
    out << entry;  // what the reader takes, the writer writes
    PAMEntry again;
    std::istringstream back(out.str());
    back >> again;
    fuzz::Check(SameEntry(entry, again),
                "an entry reads back differently\ninput: " + fuzz::Printable(input) +
                    "\nwritten: " + fuzz::Printable(out.str()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string const input(reinterpret_cast<char const*>(data), size);
    CheckEntryRoundTrip(input);
    PAMPolicy policy("fuzz");
    std::istringstream in(input);
    char const* refusal = nullptr;
    try {
        in >> policy;
    } catch (InvalidFacilityException const& e) {
        fuzz::Check(std::string(e.what()).rfind("Invalid Facility: ", 0) == 0, e.what());
        refusal = "facility";
    } catch (InvalidControlException const& e) {
        fuzz::Check(std::string(e.what()).rfind("Invalid Control: ", 0) == 0, e.what());
        refusal = "control";
    } catch (InvalidEntryException const& e) {
        fuzz::Check(std::string(e.what()).rfind("Invalid Entry: ", 0) == 0, e.what());
        refusal = "entry";
    }
    if (refusal) {
        // Nothing half-read is kept, and a caller that writes anyway sees the failure.
        fuzz::Check(policy.stacks().empty() && in.fail(), "a refused read kept something");
        return 0;
    }
    fuzz::Check(!in.fail(), "an accepted read failed the stream");
    std::string const written = Write(policy);  // what the reader takes, the writer writes

    PAMPolicy again("fuzz");
    std::istringstream back(written);
    back >> again;  // the canonical form is never refused
    fuzz::Check(!back.fail(), "reading the canonical form failed the stream");
    fuzz::Check(SamePolicy(policy, again),
                "the canonical form reads back differently\ninput: " + fuzz::Printable(input) +
                    "\nwritten: " + fuzz::Printable(written));
    fuzz::Check(Write(again) == written,
                "the canonical form is not stable\nwritten: " + fuzz::Printable(written));
    fuzz::Check(AsThePAMLibraryReads(input) == AsThePAMLibraryReads(written),
                "the PAM library would read the written form differently\ninput: " +
                    fuzz::Printable(input) + "\nwritten: " + fuzz::Printable(written));
    return 0;
}
