// One read + edit + atomic write cycle of the library (or one of its floors), for callgrind:
// collection is switched on for exactly one cycle, after warm-up cycles, so that the count is
// the steady cycle's user-space instructions and nothing of the program's start, the warm-up
// or the restore of the file between cycles. Run through bench/count-instructions.
//
//   tslauth_cycle_instructions pam|nss|pam-large|nss-large [library|floor]
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "bench_environment.h"
#include "floors.h"
#include "generated_files.h"
#include "library_cycles.h"

namespace {

struct Case {
    char const* name;
    bool pam;
    std::string (*content)();
};

std::string LargePAM() {
    return bench::LargePAMFile(10000);
}
std::string LargeNSS() {
    return bench::LargeNSSFile(5000);
}

Case const kCases[] = {{"pam", true, &bench::TypicalPAMFile},
                       {"nss", false, &bench::TypicalNSSFile},
                       {"pam-large", true, &LargePAM},
                       {"nss-large", false, &LargeNSS}};

int Usage() {
    std::fprintf(stderr,
                 "usage: tslauth_cycle_instructions pam|nss|pam-large|nss-large [library|floor]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) return Usage();
    Case const* chosen = nullptr;
    for (Case const& c : kCases) {
        if (std::strcmp(argv[1], c.name) == 0) chosen = &c;
    }
    std::string const side = argc == 3 ? argv[2] : "library";
    if (chosen == nullptr || (side != "library" && side != "floor")) return Usage();
    bench::EnterSandbox();
    try {
        std::string const directory = bench::MakeTmpfsDirectory("instructions");
        std::string const path = directory + (chosen->pam ? "/system-auth" : "/nsswitch.conf");
        std::string const content = chosen->content();
        auto cycle = [&] {
            if (side == "floor") {
                bench::CopyWithGuarantees(path);
            } else if (chosen->pam) {
                bench::PAMCycle(path);
            } else {
                bench::NSSCycle(path);
            }
        };
        // Warm-up: the first cycles also bind the library's symbols and grow the heap.
        for (int i = 0; i < 3; ++i) {
            bench::WriteFile(path, content);
            cycle();
        }
        bench::WriteFile(path, content);
        CALLGRIND_TOGGLE_COLLECT;
        cycle();
        CALLGRIND_TOGGLE_COLLECT;
    } catch (std::exception const& e) {
        std::fprintf(stderr, "cycle failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
