#ifndef TOOLS_TSLAUTH_EXIT_CODES_H
#define TOOLS_TSLAUTH_EXIT_CODES_H

#include <exception>
#include <stdexcept>
#include <string>

namespace tslauth {

// The exit statuses of the command; the --help text and the manual page list them.
enum ExitCode {
    kSuccess = 0,
    kCheckFailed = 1,   // preflight: at least one check failed
    kUsage = 2,         // unknown command or option, missing or extra argument
    kInvalidInput = 3,  // the library refused a name, address, credential or file
    kDirectory = 4,     // the directory or its plug-in failed otherwise
    kTimedOut = 5,      // the directory did not answer in time
    kIO = 6,            // a file is missing or could not be read or written
    kCredentials = 7,   // the directory refused the credentials: wrong, locked out, expired
    kUnreachable = 8,   // the domain or a domain controller of it not found or not answering
    kMembership = 9,    // the membership forbids it: already joined, not joined, account exists
    kInternal = 70,     // anything else
};

// What the failing command was about, for the words of its message. Commands fill in what
// they know; the plug-in's own words on the failure come from the store after it.
struct ErrorContext {
    std::string command;  // "join", "leave", ...
    std::string domain;   // the domain named on the command line
    std::string user;     // the account whose credentials were used
    bool reuseAccount = false;
    std::string providerText;
};

// The one context of this run of the command.
ErrorContext& CurrentErrorContext();

// A command line the tool cannot run.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(std::string const& message) : std::runtime_error(message) {}
};

// The exit status for an exception that ended a command.
ExitCode ExitCodeFor(std::exception const& error);

// The message for an exception that ended a command: the words and what to do next, then
// the provider's status; the library's own text where there are no better words.
std::string Explain(std::exception const& error, ErrorContext const& context);

// The error's text for the administrator. The library's parse errors name a line but not the
// file: the text then starts with the file the error names, and a line that begins with "#"
// gets a hint.
std::string Describe(std::exception const& error);

}  // namespace tslauth

#endif
