#include <systemconfiguration/pam_control.h>

#include <istream>
#include <ostream>

#include "model_text.h"

namespace SystemConfiguration {

namespace {

using text::FindKind;
using text::FindText;
using text::Word;

constexpr auto& kControlWords = text::kPAMControlWords;
constexpr auto& kFacilityWords = text::kPAMFacilityWords;

bool IsBracketed(std::string const& text) {
    return !text.empty() && text[0] == '[' && text[text.size() - 1] == ']';
}

PAMControl ParseControl(std::string const& text) {
    if (IsBracketed(text)) return PAMControl(PAMControl::Complex, text);
    Word const* word = FindText(kControlWords, text);
    if (!word) throw InvalidControlException("Invalid Control: " + text);
    return PAMControl(static_cast<PAMControl::Control>(word->kind));
}

PAMFacility::Facility ParseFacility(std::string const& text) {
    Word const* word = FindText(kFacilityWords, text);
    if (!word) throw InvalidFacilityException("Invalid Facility: " + text);
    return static_cast<PAMFacility::Facility>(word->kind);
}

}  // namespace

PAMControl::PAMControl() : kind(Unset) {}
PAMControl::PAMControl(Control kind) : kind(kind) {}
PAMControl::PAMControl(Control kind, std::string const& text) : kind(kind), text(text) {}
PAMControl::PAMControl(PAMControl const& other) : kind(other.kind), text(other.text) {}
PAMControl::PAMControl(std::string const& text) : PAMControl(ParseControl(text)) {}

PAMControl& PAMControl::operator=(PAMControl const& other) {
    kind = other.kind;
    text = other.text;
    return *this;
}

PAMControl& PAMControl::operator=(Control newKind) {
    kind = newKind;
    text.clear();
    return *this;
}

PAMControl& PAMControl::operator=(std::string const& newText) {
    return *this = ParseControl(newText);
}

bool PAMControl::operator==(PAMControl const& other) const {
    if (kind == Complex) return other.kind == Complex && text == other.text;
    return kind == other.kind;
}

bool PAMControl::operator==(std::string const& other) const {
    if (kind == Complex) return text == other;
    return kind == ParseControl(other).kind;
}

bool PAMControl::operator==(Control other) const {
    return kind == other;
}

PAMControl::operator std::string() const {
    if (kind == Complex) return text;
    Word const* word = FindKind(kControlWords, kind);
    if (!word) throw InvalidControlException("Invalid Control: " + std::to_string(kind));
    return word->text;
}

PAMFacility::PAMFacility() : kind(Unset) {}
PAMFacility::PAMFacility(Facility kind) : kind(kind) {}
PAMFacility::PAMFacility(PAMFacility const& other) : kind(other.kind) {}
PAMFacility::PAMFacility(std::string const& text) : kind(ParseFacility(text)) {}

PAMFacility& PAMFacility::operator=(PAMFacility const& other) {
    kind = other.kind;
    return *this;
}

PAMFacility& PAMFacility::operator=(Facility newKind) {
    kind = newKind;
    return *this;
}

PAMFacility& PAMFacility::operator=(std::string const& text) {
    kind = ParseFacility(text);
    return *this;
}

bool PAMFacility::operator==(std::string const& text) const {
    return kind == ParseFacility(text);
}

PAMFacility::operator std::string() const {
    Word const* word = FindKind(kFacilityWords, kind);
    if (!word) throw InvalidFacilityException("Invalid Facility: " + std::to_string(kind));
    return word->text;
}

std::ostream& operator<<(std::ostream& out, PAMFacility const& facility) {
    return out << static_cast<std::string>(facility);
}

std::istream& operator>>(std::istream& in, PAMFacility& facility) {
    std::string token;
    in >> token;
    facility = token;
    return in;
}

}  // namespace SystemConfiguration
