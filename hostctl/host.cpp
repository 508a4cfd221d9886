#include <hostctl/host.h>

#include "advanced_options_file.h"
#include "paths.h"
#include "system_files.h"

namespace HostCtl {

Host::~Host() = default;

std::unique_ptr<Adv::AdvancedBranch> Host::GetAdvancedOptions() const {
    std::string const path = Paths::kAdvancedOptions;
    std::optional<std::string> content = Files::ReadIfPresent(path);
    // Without the file the host simply has no advanced options.
    auto root = content ? Adv::ParseAdvancedOptions(path, *content)
                        : std::make_shared<Adv::AdvancedBranchNode const>();
    return std::unique_ptr<Adv::AdvancedBranch>(new Adv::AdvancedBranch(std::string(), root));
}

std::unique_ptr<Host> HostFactory::GetHost() {
    return std::make_unique<Host>();
}

}  // namespace HostCtl
