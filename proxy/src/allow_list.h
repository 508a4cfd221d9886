#ifndef TSLAUTH_PROXYD_ALLOW_LIST_H
#define TSLAUTH_PROXYD_ALLOW_LIST_H

// Which peer addresses may enrol: IPv4 and IPv6 addresses and CIDR ranges.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace proxyd {

struct AddressRange {
    bool v6 = false;
    std::array<uint8_t, 16> bytes = {};  // network byte order; IPv4 in the first four
    int prefix = 0;                      // leading bits that must match
};

// "ADDRESS" or "ADDRESS/PREFIX". false with the reason in `why` when it is neither, or when
// the address has bits set beyond the prefix (a typo that would allow another network).
bool ParseAddressRange(std::string const& text, AddressRange& range, std::string& why);

class AllowList {
public:
    void Add(AddressRange const& range) { ranges_.push_back(range); }
    bool Empty() const { return ranges_.empty(); }
    // `peer` as the server reports it: dotted IPv4, or IPv6 (perhaps IPv4-mapped, perhaps
    // with a "%scope" suffix). Nothing is allowed when the list is empty or the text is not
    // an address.
    bool Allows(std::string const& peer) const;

private:
    std::vector<AddressRange> ranges_;
};

}  // namespace proxyd

#endif
