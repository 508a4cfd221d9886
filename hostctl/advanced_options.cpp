#include <hostctl/advanced_options.h>

#include "advanced_options_file.h"

namespace HostCtl {
namespace Adv {

namespace {

struct MakeOption {
    std::string const& name;

    std::unique_ptr<AdvancedOption> operator()(std::int64_t value) const {
        return std::make_unique<AdvancedIntegerOption>(name, value);
    }
    std::unique_ptr<AdvancedOption> operator()(std::string const& value) const {
        return std::make_unique<AdvancedStringOption>(name, value);
    }
};

}  // namespace

AdvancedOption::AdvancedOption(std::string name) : name(std::move(name)) {}

AdvancedOption::~AdvancedOption() = default;

AdvancedIntegerOption::AdvancedIntegerOption(std::string name, std::int64_t value)
    : AdvancedOption(std::move(name)), value(value) {}

AdvancedIntegerOption::~AdvancedIntegerOption() = default;

AdvancedStringOption::AdvancedStringOption(std::string name, std::string value)
    : AdvancedOption(std::move(name)), value(std::move(value)) {}

AdvancedStringOption::~AdvancedStringOption() = default;

AdvancedBranch::AdvancedBranch(std::string name, std::shared_ptr<AdvancedBranchNode const> node)
    : name(std::move(name)), node(std::move(node)) {}

AdvancedBranch::~AdvancedBranch() = default;

std::unique_ptr<AdvancedBranch> AdvancedBranch::GetBranch(std::string const& name) const {
    auto found = node->branches.find(name);
    if (found == node->branches.end()) return nullptr;
    return std::unique_ptr<AdvancedBranch>(new AdvancedBranch(name, found->second));
}

std::unique_ptr<AdvancedOption> AdvancedBranch::GetOption(std::string const& name) const {
    auto found = node->options.find(name);
    if (found == node->options.end()) return nullptr;
    return std::visit(MakeOption{name}, found->second);
}

}  // namespace Adv
}  // namespace HostCtl
