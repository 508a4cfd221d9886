#include <hostctl/hostctl_exception.h>
#include <hostctl/network_info.h>
#include <net/if.h>
#include <net/route.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>

#include "paths.h"
#include "system_files.h"

namespace QuorCtl {
namespace Network {

namespace {

namespace Files = HostCtl::Files;
namespace Paths = HostCtl::Paths;

[[noreturn]] void ThrowInvalidName(std::string const& name, std::string const& path) {
    std::string message =
        "Invalid interface name '" + name + "' in '" + path + "': " + std::strerror(EINVAL);
    throw HostCtl::Lib::HostCtlException(message.c_str());
}

// The rules the kernel applies to interface names.
bool IsInterfaceName(std::string const& name) {
    if (name.empty() || name.size() >= IFNAMSIZ || name == "." || name == "..") return false;
    for (char c : name) {
        if (c == '/' || c == ':' || static_cast<unsigned char>(c) <= ' ' || c == '\x7f') {
            return false;
        }
    }
    return true;
}

// The file holds the name on its one line; blank lines after it are tolerated.
std::string ConfiguredInterface(std::string const& path, std::string const& content) {
    std::vector<std::string> lines = Files::SplitLines(content);
    std::string name = lines.empty() ? std::string() : Files::Trim(lines[0]);
    if (name.empty()) Files::ThrowSystemError("No interface named in", path, EINVAL);
    if (!IsInterfaceName(name)) ThrowInvalidName(name, path);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (!Files::Trim(lines[i]).empty()) {
            Files::ThrowSystemError("More than one line in", path, EINVAL);
        }
    }
    return name;
}

bool ParseHex(std::string const& text, unsigned long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text.c_str(), &end, 16);
    return errno == 0 && *end == '\0';
}

// The interface of the usable IPv4 default route with the lowest metric; the kernel's own
// choice between equal metrics is the one it lists first.
std::string DefaultRouteInterface() {
    std::string const path = Paths::kRoutes;
    std::optional<std::string> content = Files::ReadIfPresent(path);
    if (!content) Files::ThrowSystemError("Unable to open", path, ENOENT);
    std::vector<std::string> lines = Files::SplitLines(*content);
    std::string best;
    unsigned long bestMetric = std::numeric_limits<unsigned long>::max();
    // The first line names the columns: Iface Destination Gateway Flags RefCnt Use Metric Mask
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::istringstream fields(lines[i]);
        std::string name, destination, gateway, flags, references, use, metric, mask;
        if (!(fields >> name >> destination >> gateway >> flags >> references >> use >> metric >>
              mask)) {
            continue;
        }
        unsigned long destinationValue, flagsValue, maskValue, metricValue;
        if (!ParseHex(destination, destinationValue) || !ParseHex(flags, flagsValue) ||
            !ParseHex(mask, maskValue)) {
            continue;
        }
        char* end = nullptr;
        metricValue = std::strtoul(metric.c_str(), &end, 10);
        if (*end != '\0') continue;
        bool isDefault = destinationValue == 0 && maskValue == 0;
        bool usable = (flagsValue & RTF_UP) != 0 && (flagsValue & RTF_REJECT) == 0 && name != "*";
        if (isDefault && usable && (best.empty() || metricValue < bestMetric)) {
            best = name;
            bestMetric = metricValue;
        }
    }
    if (best.empty()) Files::ThrowSystemError("No IPv4 default route in", path, ENETUNREACH);
    return best;
}

}  // namespace

NetworkInfoImpl::~NetworkInfoImpl() = default;

std::unique_ptr<HostCtl::Network::NetworkInterface> NetworkInfoImpl::GetManagementInterface()
    const {
    std::string const path = Paths::kManagementInterface;
    std::optional<std::string> configured = Files::ReadIfPresent(path);
    std::string name =
        configured ? ConfiguredInterface(path, *configured) : DefaultRouteInterface();
    if (::if_nametoindex(name.c_str()) == 0) {
        Files::ThrowSystemError("Unable to find the management interface", name, errno);
    }
    return std::make_unique<HostCtl::Network::NetworkInterface>(name);
}

}  // namespace Network
}  // namespace QuorCtl
