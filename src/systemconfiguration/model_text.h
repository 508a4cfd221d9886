#ifndef SYSTEMCONFIGURATION_MODEL_TEXT_H
#define SYSTEMCONFIGURATION_MODEL_TEXT_H

// What the PAM and name-service models share in reading and writing text.

#include <systemconfiguration/pam_control.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>

namespace SystemConfiguration {
namespace text {

// A word of a file's vocabulary and the kind it stands for. Tables of them are constant-
// initialised, so they exist before any code of the library runs and any thread may search
// them.
struct Word {
    std::int32_t kind;
    char const* text;
};

// The PAM model's words, for its reader and its writer.
inline constexpr Word kPAMControlWords[] = {
    {PAMControl::Required, "required"},     {PAMControl::Requisite, "requisite"},
    {PAMControl::Sufficient, "sufficient"}, {PAMControl::Optional, "optional"},
    {PAMControl::Include, "include"},       {PAMControl::Substack, "substack"}};
inline constexpr Word kPAMFacilityWords[] = {{PAMFacility::Auth, "auth"},
                                             {PAMFacility::Account, "account"},
                                             {PAMFacility::Password, "password"},
                                             {PAMFacility::Session, "session"}};

// The first character decides most lookups before a whole comparison is made; every
// statement read goes through here.
template <std::size_t N>
Word const* FindText(Word const (&table)[N], std::string_view text) {
    if (text.empty()) return nullptr;
    for (Word const& word : table) {
        if (word.text[0] == text[0] && text == word.text) return &word;
    }
    return nullptr;
}

// The same lookup for a word in any ASCII letter case (the tables hold lower-case words of
// fewer than 16 letters).
template <std::size_t N>
Word const* FindTextIgnoringCase(Word const (&table)[N], std::string_view text) {
    if (text.empty() || text.size() >= 16) return nullptr;
    char lower[16];
    for (std::size_t i = 0; i < text.size(); ++i) {
        char const c = text[i];
        lower[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    for (Word const& word : table) {
        if (word.text[0] == lower[0] && std::strlen(word.text) == text.size() &&
            std::memcmp(word.text, lower, text.size()) == 0) {
            return &word;
        }
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

// Of the eight bytes at `data`, the index of the first one below '$' (whitespace, '#' and NUL,
// the bytes that end or cut fields, are all below it), or 8 when there is none. Eight bytes
// at a time: a byte below '$' sets the high bit of its byte in the mask, and the lowest bit
// set is always exact (a borrow only moves to higher bytes).
inline std::size_t FirstBelowDollar(char const* data) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHigh = 0x8080808080808080u;
    std::uint64_t word;
    std::memcpy(&word, data, 8);
    std::uint64_t const mask = (word - kOnes * '$') & ~word & kHigh;
    if (mask == 0) return 8;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return static_cast<std::size_t>(__builtin_ctzll(mask)) / 8;
#else
    return static_cast<std::size_t>(__builtin_clzll(mask)) / 8;
#endif
}

// False when no byte of the text is below '$'; true means "look closer".
inline bool MayHoldSpaceOrMark(char const* data, std::size_t size) {
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        if (FirstBelowDollar(data + i) != 8) return true;
    }
    for (; i < size; ++i) {
        if (static_cast<unsigned char>(data[i]) < '$') return true;
    }
    return false;
}

inline bool ContainsSpace(std::string const& text) {
    if (!MayHoldSpaceOrMark(text.data(), text.size())) return false;
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
