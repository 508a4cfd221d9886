#include "arguments.h"

#include "exit_codes.h"

namespace tslauth {

Arguments::Arguments(std::vector<std::string> const& words, OptionRules const& rules) {
    bool options = true;
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string const& word = words[i];
        if (!options || word.size() < 2 || word.compare(0, 2, "--") != 0) {
            positionals.push_back(word);
            continue;
        }
        if (word == "--") {
            options = false;
            continue;
        }
        std::string name = word.substr(2);
        std::string value;
        bool inlineValue = false;
        std::string::size_type equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.erase(equals);
            inlineValue = true;
        }
        if (rules.flags.count(name) != 0 && !inlineValue) {
            flags.insert(name);
        } else if (rules.valued.count(name) != 0) {
            if (!inlineValue) {
                if (i + 1 >= words.size()) throw UsageError("option --" + name + " needs a value");
                value = words[++i];
            }
            if (values.count(name) != 0) throw UsageError("option --" + name + " given twice");
            values[name] = value;
        } else {
            // The option's name only: a value given with "=" may be a secret.
            throw UsageError("unknown option --" + name);
        }
    }
}

std::string Arguments::Value(std::string const& name) const {
    std::map<std::string, std::string>::const_iterator it = values.find(name);
    return it == values.end() ? std::string() : it->second;
}

void Arguments::ExpectPositionals(std::size_t min, std::size_t max) const {
    if (positionals.size() < min) throw UsageError("missing argument");
    if (positionals.size() > max)
        throw UsageError("unexpected argument '" + positionals[max] + "'");
}

}  // namespace tslauth
