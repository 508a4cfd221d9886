#ifndef TOOLS_TSLAUTH_EXIT_CODES_H
#define TOOLS_TSLAUTH_EXIT_CODES_H

#include <exception>
#include <stdexcept>
#include <string>

namespace tslauth {

// The exit statuses of the command; the --help text lists them.
enum ExitCode {
    kSuccess = 0,
    kCheckFailed = 1,   // preflight: at least one check failed
    kUsage = 2,         // unknown command or option, missing or extra argument
    kInvalidInput = 3,  // the library refused a name, address, credential or file
    kDirectory = 4,     // the directory or its plug-in failed
    kTimedOut = 5,      // the directory did not answer in time
    kIO = 6,            // a file is missing or could not be read or written
    kInternal = 70,     // anything else
};

// A command line the tool cannot run.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(std::string const& message) : std::runtime_error(message) {}
};

// The exit status for an exception that ended a command.
ExitCode ExitCodeFor(std::exception const& error);

// The error's text for the administrator. The library's parse errors name a line but not the
// file: the text then starts with the library's configuration file that fails to load with
// that very error, and a line of its that begins with "#" gets a hint.
std::string Describe(std::exception const& error);

}  // namespace tslauth

#endif
