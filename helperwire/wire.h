#ifndef SAMBA_PROVIDER_WIRE_H
#define SAMBA_PROVIDER_WIRE_H

// Requests to the join helper and its answers: named fields, each "NAME LENGTH\n" followed by
// LENGTH bytes and "\n", so that any byte (a password's included) passes unchanged.
#include <map>
#include <string>

namespace sambaprovider {

using Fields = std::map<std::string, std::string>;

std::string EncodeFields(Fields const& fields);
// false when the text is not a sequence of whole fields.
bool DecodeFields(std::string const& text, Fields& fields);

}  // namespace sambaprovider

#endif
