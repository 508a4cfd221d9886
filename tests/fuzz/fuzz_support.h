#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H
#define TESTS_FUZZ_FUZZ_SUPPORT_H
// Shared by the libFuzzer targets: a failed property aborts (libFuzzer keeps the input).
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "private_host.h"

namespace fuzz {

[[noreturn]] inline void Fail(std::string const& what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what.c_str());
    std::abort();
}

inline void Check(bool condition, std::string const& what) {
    if (!condition) Fail(what);
}

// The bytes readably, for failure messages.
inline std::string Printable(std::string const& bytes) {
    std::string shown;
    for (unsigned char c : bytes) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
        shown += c == '\\' || c < 0x20 || c >= 0x7f ? std::string(escaped) : std::string(1, c);
    }
    return shown;
}

template <class Model>
std::string Write(Model const& model) {
    std::ostringstream out;
    out << model;
    Check(out.good(), "writing to a string stream failed");
    return out.str();
}

// What was read is written in a form that reads back `same` and is written again identically.
template <class Model, class Same>
std::string CheckRoundTrip(Model const& model, Model again, Same same, std::string const& input) {
    std::string const written = Write(model);
    std::istringstream back(written);
    back >> again;
    std::string const shown = "\ninput: " + Printable(input) + "\nwritten: " + Printable(written);
    Check(!back.fail() && same(model, again), "the written form reads back differently" + shown);
    Check(Write(again) == written, "the written form is not stable" + shown);
    return written;
}

}  // namespace fuzz

#endif
