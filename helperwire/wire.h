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

// A long-lived helper's requests and answers, one after another on one channel: each a frame,
// "frame LENGTH\n", the encoded fields (LENGTH bytes) and "\n".
std::size_t const kMaxFrame = 1 << 20;
std::string EncodeFrame(Fields const& fields);
// Takes the first frame off `buffer`: 1 when it took one, 0 when the frame is not whole yet,
// -1 when the buffer does not start with a frame of at most kMaxFrame bytes of whole fields.
int TakeFrame(std::string& buffer, Fields& fields);

}  // namespace sambaprovider

#endif
