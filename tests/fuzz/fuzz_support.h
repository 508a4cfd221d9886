#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H
#define TESTS_FUZZ_FUZZ_SUPPORT_H
// Shared by the libFuzzer targets: a failed property aborts; libFuzzer keeps the input.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "private_host.h"

namespace fuzz {

inline void Check(bool condition, std::string const& what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz property failed: %s\n", what.c_str());
    std::abort();
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
std::string CheckRoundTrip(Model const& model, Model again, Same same) {
    std::string const written = Write(model);
    std::istringstream back(written);
    back >> again;
    Check(!back.fail() && same(model, again), "the written form reads back differently");
    Check(Write(again) == written, "the written form is not stable");
    return written;
}

}  // namespace fuzz

#endif
