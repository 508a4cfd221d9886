#include "wire.h"

#include <cstdlib>

namespace sambaprovider {

std::string EncodeFields(Fields const& fields) {
    std::string text;
    for (auto const& field : fields) {
        text +=
            field.first + " " + std::to_string(field.second.size()) + "\n" + field.second + "\n";
    }
    return text;
}

bool DecodeFields(std::string const& text, Fields& fields) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t blank = text.find(' ', at);
        std::size_t end = text.find('\n', at);
        if (blank == std::string::npos || end == std::string::npos || blank > end) return false;
        std::string length = text.substr(blank + 1, end - blank - 1);
        if (length.empty() || length.size() > 9 ||
            length.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        std::size_t size = std::strtoul(length.c_str(), nullptr, 10);
        if (end + 1 + size + 1 > text.size() || text[end + 1 + size] != '\n') return false;
        fields[text.substr(at, blank - at)] = text.substr(end + 1, size);
        at = end + 1 + size + 1;
    }
    return true;
}

}  // namespace sambaprovider
