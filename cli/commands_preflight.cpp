// preflight: the library's own join checks, run without changing anything.
#include <authentication/join_preflight.h>

#include <iostream>

#include "commands.h"
#include "exit_codes.h"
#include "output.h"

namespace tslauth {

int Preflight(Arguments const& arguments) {
    arguments.ExpectPositionals(1, 1);
    std::vector<ostrel::authentication::PreflightCheck> const checks =
        ostrel::authentication::PreflightJoin(arguments.Positionals()[0]);
    bool failed = false;
    if (arguments.Flag("json")) {
        // One check a line.
        std::cout << "[";
        for (std::size_t i = 0; i < checks.size(); ++i) {
            std::cout << (i == 0 ? "" : ",\n ")
                      << JsonText({{"check", checks[i].name},
                                   {"passed", checks[i].passed},
                                   {"detail", checks[i].detail},
                                   {"hint", checks[i].hint}});
        }
        std::cout << "]\n";
    }
    for (auto const& check : checks) {
        failed = failed || !check.passed;
        if (arguments.Flag("json")) continue;
        std::cout << (check.passed ? "pass  " : "FAIL  ") << check.name << ": " << check.detail
                  << "\n";
        if (!check.passed) std::cout << "      hint: " << check.hint << "\n";
    }
    return failed ? kCheckFailed : kSuccess;
}

}  // namespace tslauth
