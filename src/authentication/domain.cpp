#include <authentication/domain.h>

#include <ostream>

namespace ostrel {
namespace authentication {

Domain::Domain() {}

Domain::Domain(Domain const& other) : dnsName(other.dnsName), netbiosName(other.netbiosName) {}

Domain::Domain(std::string const& dnsName, std::string const& netbiosName)
    : dnsName(dnsName), netbiosName(netbiosName) {}

Domain& Domain::operator=(Domain const& other) {
    dnsName = other.dnsName;
    netbiosName = other.netbiosName;
    return *this;
}

Domain::~Domain() {}

bool Domain::operator==(Domain const& other) const {
    return dnsName == other.dnsName && netbiosName == other.netbiosName;
}

namespace {

std::string const& OrUnset(std::string const& name) {
    static std::string const unset = "(unset)";
    return name.empty() ? unset : name;
}

}  // namespace

std::ostream& operator<<(std::ostream& stream, Domain const& domain) {
    return stream << "DNS Name: " << OrUnset(domain.dnsName)
                  << ", NetBIOS Name: " << OrUnset(domain.netbiosName);
}

}  // namespace authentication
}  // namespace ostrel
