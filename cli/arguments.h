#ifndef TOOLS_TSLAUTH_ARGUMENTS_H
#define TOOLS_TSLAUTH_ARGUMENTS_H

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tslauth {

// The options one command accepts: flags ("--json") and options with a value ("--user").
struct OptionRules {
    std::set<std::string> flags;
    std::set<std::string> valued;
};

// A command's arguments after its name. "--name VALUE" and "--name=VALUE" both work; "--"
// ends the options. Throws UsageError for an option the command does not take.
class Arguments {
public:
    Arguments(std::vector<std::string> const& words, OptionRules const& rules);

    bool Flag(std::string const& name) const { return flags.count(name) != 0; }
    bool Has(std::string const& name) const { return values.count(name) != 0; }
    std::string Value(std::string const& name) const;
    std::vector<std::string> const& Positionals() const { return positionals; }
    // Throws UsageError unless there are between min and max positionals.
    void ExpectPositionals(std::size_t min, std::size_t max) const;

private:
    std::set<std::string> flags;
    std::map<std::string, std::string> values;
    std::vector<std::string> positionals;
};

}  // namespace tslauth

#endif
