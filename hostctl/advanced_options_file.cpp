#include "advanced_options_file.h"

#include <hostctl/hostctl_exception.h>

#include <charconv>
#include <vector>

#include "system_files.h"

namespace HostCtl {
namespace Adv {

namespace {

// Built mutable, handed out as const.
struct MutableNode {
    std::map<std::string, std::unique_ptr<MutableNode>> branches;
    std::map<std::string, std::variant<std::int64_t, std::string>> options;
};

class LineError {
public:
    explicit LineError(std::string problem) : problem(std::move(problem)) {}
    std::string problem;
};

bool IsNamePart(std::string const& part) {
    if (part.empty()) return false;
    for (char c : part) {
        bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '_' && c != '-') return false;
    }
    return true;
}

std::vector<std::string> SplitName(std::string const& name) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type dot = name.find('.', start);
        parts.push_back(name.substr(start, dot == std::string::npos ? dot : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() < 2) throw LineError("option name '" + name + "' has no branch");
    for (std::string const& part : parts) {
        if (!IsNamePart(part)) throw LineError("invalid option name '" + name + "'");
    }
    return parts;
}

std::int64_t ParseInteger(std::string const& text) {
    std::string digits = Files::Trim(text);
    std::string::size_type first = digits.empty() || digits[0] == '+' || digits[0] == '-' ? 1 : 0;
    bool wellFormed = digits.size() > first;
    for (std::string::size_type i = first; i < digits.size(); ++i) {
        if (digits[i] < '0' || digits[i] > '9') wellFormed = false;
    }
    if (!wellFormed) throw LineError("invalid integer '" + digits + "'");
    char const* begin = digits.data() + (digits[0] == '+' ? 1 : 0);
    char const* end = digits.data() + digits.size();
    std::int64_t value = 0;
    std::from_chars_result result = std::from_chars(begin, end, value);
    if (result.ec != std::errc() || result.ptr != end) {
        throw LineError("integer '" + digits + "' is out of range");
    }
    return value;
}

void AddLine(MutableNode& root, std::string const& line) {
    std::string::size_type equals = line.find('=');
    if (equals == std::string::npos) throw LineError("expected 'Branch.Option = type:value'");
    std::string name = Files::Trim(line.substr(0, equals));
    std::string typed = Files::Trim(line.substr(equals + 1));
    std::vector<std::string> parts = SplitName(name);

    std::string::size_type colon = typed.find(':');
    std::string type = typed.substr(0, colon);
    if (colon == std::string::npos || (type != "int" && type != "string")) {
        throw LineError("unknown type '" + type + "' (expected int or string)");
    }
    std::string raw = typed.substr(colon + 1);

    MutableNode* branch = &root;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        std::unique_ptr<MutableNode>& child = branch->branches[parts[i]];
        if (!child) child = std::make_unique<MutableNode>();
        branch = child.get();
    }
    if (branch->options.count(parts.back()) != 0) {
        throw LineError("option '" + name + "' is defined more than once");
    }
    if (type == "int") {
        branch->options.emplace(parts.back(), ParseInteger(raw));
    } else {
        branch->options.emplace(parts.back(), raw);
    }
}

std::shared_ptr<AdvancedBranchNode const> Freeze(MutableNode& node) {
    auto frozen = std::make_shared<AdvancedBranchNode>();
    frozen->options.swap(node.options);
    for (auto& child : node.branches) frozen->branches.emplace(child.first, Freeze(*child.second));
    return frozen;
}

}  // namespace

std::shared_ptr<AdvancedBranchNode const> ParseAdvancedOptions(std::string const& path,
                                                               std::string const& content) {
    MutableNode root;
    std::vector<std::string> lines = Files::SplitLines(content);
    for (std::size_t number = 1; number <= lines.size(); ++number) {
        std::string line = Files::Trim(lines[number - 1]);
        if (line.empty() || line[0] == '#') continue;
        try {
            AddLine(root, line);
        } catch (LineError const& error) {
            std::string message =
                "Invalid line " + std::to_string(number) + " in '" + path + "': " + error.problem;
            throw Lib::HostCtlException(message.c_str());
        }
    }
    return Freeze(root);
}

}  // namespace Adv
}  // namespace HostCtl
