#ifndef SAMBA_PROVIDER_LETTER_CASE_H
#define SAMBA_PROVIDER_LETTER_CASE_H

// Case folding of names (domains, realms, keys), one byte at a time: the helper, the plug-in
// and the DC watcher share it.
#include <cctype>
#include <string>

namespace sambaprovider {

inline std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

inline std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace sambaprovider

#endif
