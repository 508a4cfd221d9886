#ifndef SYSTEMCONFIGURATION_MODEL_TEXT_H
#define SYSTEMCONFIGURATION_MODEL_TEXT_H

// What the PAM and name-service models share in reading and writing text.

#include <cstdint>
#include <ostream>
#include <string>

namespace SystemConfiguration {
namespace text {

// A word of a file's vocabulary and the kind it stands for. Tables of them are constant-
// initialised, so they exist before any code of the library runs and any thread may search
// them.
struct Word {
    std::int32_t kind;
    char const* text;
};

// The first character decides most lookups before a whole comparison is made; every
// statement read goes through here.
template <std::size_t N>
Word const* FindText(Word const (&table)[N], std::string const& text) {
    if (text.empty()) return nullptr;
    for (Word const& word : table) {
        if (word.text[0] == text[0] && text == word.text) return &word;
    }
    return nullptr;
}

template <std::size_t N>
Word const* FindKind(Word const (&table)[N], std::int32_t kind) {
    for (Word const& word : table) {
        if (kind == word.kind) return &word;
    }
    return nullptr;
}

// What formatted extraction treats as whitespace with the default locale.
inline bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool ContainsSpace(std::string const& text) {
    for (char c : text) {
        if (IsSpace(c)) return true;
    }
    return false;
}

// Text assembled whole goes to the stream in one write, so a value that cannot be written
// leaves the stream untouched.
inline std::ostream& WriteText(std::ostream& out, std::string const& text) {
    return out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace text
}  // namespace SystemConfiguration

#endif
