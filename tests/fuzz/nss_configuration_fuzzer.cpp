// The name-service switch reader on arbitrary bytes: it never fails on content, the writer
// takes whatever it read, and the written form reads back as the same model and is written
// again byte for byte.
#include <systemconfiguration/nss_configuration.h>

#include <cstddef>
#include <cstdint>
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
    for (auto const& database : configuration.databases()) {
        fuzz::Check(!database.second.empty(), "a database line without services made a queue");
    }

    std::string const written = Write(configuration);
    NSSConfiguration again;
    std::istringstream back(written);
    back >> again;
    fuzz::Check(SameConfiguration(configuration, again),
                "the written form reads back differently\ninput: " + fuzz::Printable(input) +
                    "\nwritten: " + fuzz::Printable(written));
    fuzz::Check(Write(again) == written,
                "the written form is not stable\nwritten: " + fuzz::Printable(written));
    return 0;
}
