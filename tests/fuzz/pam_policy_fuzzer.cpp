// The PAM reader on arbitrary bytes. It may refuse a statement, but never otherwise fail, and
// whatever it read the writer puts out in a form that reads back as the same model and is
// written again byte for byte.
#include <systemconfiguration/pam_policy.h>

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

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

bool HasEntryWithoutModule(PAMPolicy const& policy) {
    for (auto const& stack : policy.stacks()) {
        for (PAMEntry const& entry : stack.second) {
            if (entry.module().empty()) return true;
        }
    }
    return false;
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
        return;
    }
    std::ostringstream out;
    try {
        out << entry;
    } catch (InvalidEntryException const&) {
        fuzz::Check(entry.module().empty(), "the writer refused an entry the reader made");
        return;
    }
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
    try {
        in >> policy;
    } catch (InvalidFacilityException const& e) {
        fuzz::Check(std::string(e.what()).rfind("Invalid Facility: ", 0) == 0, e.what());
    } catch (InvalidControlException const& e) {
        fuzz::Check(std::string(e.what()).rfind("Invalid Control: ", 0) == 0, e.what());
    }
    // Statements read before a refused one are a model like any other.
    std::string written;
    try {
        written = Write(policy);
    } catch (InvalidEntryException const& e) {
        // Only input that ends right after a control leaves an entry the writer refuses.
        fuzz::Check(HasEntryWithoutModule(policy),
                    std::string("writer refused what the reader accepted: ") + e.what() +
                        "\ninput: " + fuzz::Printable(input));
        return 0;
    }
    fuzz::Check(!HasEntryWithoutModule(policy), "an entry without module was written");

    PAMPolicy again("fuzz");
    std::istringstream back(written);
    back >> again;  // the canonical form is never refused
    fuzz::Check(!back.bad(), "reading the canonical form broke the stream");
    fuzz::Check(SamePolicy(policy, again),
                "the canonical form reads back differently\ninput: " + fuzz::Printable(input) +
                    "\nwritten: " + fuzz::Printable(written));
    fuzz::Check(Write(again) == written,
                "the canonical form is not stable\nwritten: " + fuzz::Printable(written));
    return 0;
}
