#include "allow_list.h"

#include <arpa/inet.h>

#include <cstring>

namespace proxyd {

namespace {

bool ParseAddress(std::string const& text, bool& v6, std::array<uint8_t, 16>& bytes) {
    bytes.fill(0);
    in_addr v4 = {};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        v6 = false;
        std::memcpy(bytes.data(), &v4, sizeof v4);
        return true;
    }
    in6_addr address = {};
    if (inet_pton(AF_INET6, text.c_str(), &address) == 1) {
        v6 = true;
        std::memcpy(bytes.data(), &address, sizeof address);
        return true;
    }
    return false;
}

bool PrefixMatches(std::array<uint8_t, 16> const& a, std::array<uint8_t, 16> const& b, int prefix) {
    int const whole = prefix / 8;
    if (std::memcmp(a.data(), b.data(), static_cast<std::size_t>(whole)) != 0) return false;
    int const rest = prefix % 8;
    if (rest == 0) return true;
    uint8_t const mask = static_cast<uint8_t>(0xff << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool ParseAddressRange(std::string const& text, AddressRange& range, std::string& why) {
    std::size_t const slash = text.find('/');
    std::string const address = text.substr(0, slash);
    AddressRange parsed;
    if (!ParseAddress(address, parsed.v6, parsed.bytes)) {
        why = "'" + address + "' is not an IPv4 or IPv6 address";
        return false;
    }
    int const bits = parsed.v6 ? 128 : 32;
    parsed.prefix = bits;
    if (slash != std::string::npos) {
        std::string const prefix = text.substr(slash + 1);
        if (prefix.empty() || prefix.size() > 3 ||
            prefix.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(prefix) > bits) {
            why = "'/" + prefix + "' is not a prefix length from 0 to " + std::to_string(bits);
            return false;
        }
        parsed.prefix = std::stoi(prefix);
    }
    AddressRange network = parsed;
    // The bits beyond the prefix must be zero: 10.1.2.3/16 is more likely a mistake for
    // 10.1.2.3 or 10.1.0.0/16 than either.
    for (int bit = parsed.prefix; bit < bits; ++bit) {
        network.bytes[bit / 8] &= static_cast<uint8_t>(~(0x80 >> (bit % 8)));
    }
    if (network.bytes != parsed.bytes) {
        why = "'" + text + "' has address bits set beyond the prefix length";
        return false;
    }
    range = parsed;
    return true;
}

bool AllowList::Allows(std::string const& peer) const {
    std::string text = peer.substr(0, peer.find('%'));
    bool v6 = false;
    std::array<uint8_t, 16> bytes;
    if (!ParseAddress(text, v6, bytes)) return false;
    // A dual-stack socket reports IPv4 peers as ::ffff:a.b.c.d; they match IPv4 ranges.
    static uint8_t const kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (v6 && std::memcmp(bytes.data(), kMapped, sizeof kMapped) == 0) {
        std::memmove(bytes.data(), bytes.data() + 12, 4);
        std::memset(bytes.data() + 4, 0, 12);
        v6 = false;
    }
    for (AddressRange const& range : ranges_) {
        if (range.v6 == v6 && PrefixMatches(range.bytes, bytes, range.prefix)) return true;
    }
    return false;
}

}  // namespace proxyd
