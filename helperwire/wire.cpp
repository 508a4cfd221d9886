#include "wire.h"

#include <algorithm>
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

std::string EncodeFrame(Fields const& fields) {
    std::string const text = EncodeFields(fields);
    return "frame " + std::to_string(text.size()) + "\n" + text + "\n";
}

int TakeFrame(std::string& buffer, Fields& fields) {
    static std::string const kWord = "frame ";
    std::size_t const compared = std::min(buffer.size(), kWord.size());
    if (buffer.compare(0, compared, kWord, 0, compared) != 0) return -1;
    std::size_t const end = buffer.find('\n');
    if (end == std::string::npos) return buffer.size() > kWord.size() + 8 ? -1 : 0;
    std::string const length = buffer.substr(kWord.size(), end - kWord.size());
    if (length.empty() || length.size() > 8 ||
        length.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    std::size_t const size = std::strtoul(length.c_str(), nullptr, 10);
    if (size > kMaxFrame) return -1;
    if (buffer.size() < end + 1 + size + 1) return 0;
    Fields taken;
    if (buffer[end + 1 + size] != '\n' || !DecodeFields(buffer.substr(end + 1, size), taken))
        return -1;
    buffer.erase(0, end + 1 + size + 1);
    fields = std::move(taken);
    return 1;
}

}  // namespace sambaprovider
