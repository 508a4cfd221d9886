#include <systemconfiguration/pam_policy.h>

#include <algorithm>
#include <istream>
#include <limits>
#include <locale>
#include <ostream>
#include <utility>
#include <vector>

namespace SystemConfiguration {

namespace {

// What formatted extraction skips with the default locale; the writer refuses these inside
// a field because the reader would split the field there.
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool ContainsSpace(std::string const& text) {
    return std::find_if(text.begin(), text.end(), IsSpace) != text.end();
}

// Whether the reader reassembles exactly this bracketed text: words separated by single
// spaces, and no word before the last one ending with "]" (reading stops at such a word).
bool ReadsBackAsComplex(std::string const& text) {
    if (text.size() < 2 || text[0] != '[' || text[text.size() - 1] != ']') return false;
    for (std::string::size_type i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == ' ') {
            if (text[i - 1] == ']' || text[i + 1] == ' ') return false;
        } else if (IsSpace(text[i])) {
            return false;
        }
    }
    return true;
}

std::string ControlText(PAMControl const& control) {
    std::string text = control;
    if (control == PAMControl::Complex && !ReadsBackAsComplex(text)) {
        throw InvalidControlException("Invalid Control: " + text);
    }
    return text;
}

void CheckModule(std::string const& module) {
    if (module.empty()) throw InvalidEntryException("Invalid Entry: the module is empty");
    if (ContainsSpace(module)) {
        throw InvalidEntryException("Invalid Entry: the module '" + module +
                                    "' contains whitespace");
    }
}

void CheckParameter(std::string const& module, std::string const& parameter) {
    if (parameter.empty()) {
        throw InvalidEntryException("Invalid Entry: a parameter of the module '" + module +
                                    "' is empty");
    }
    if (ContainsSpace(parameter)) {
        throw InvalidEntryException("Invalid Entry: the parameter '" + parameter +
                                    "' of the module '" + module + "' contains whitespace");
    }
}

// Text is assembled completely before anything reaches the stream, so a value that cannot
// be written leaves the stream untouched.
void AppendEntry(std::string& text, PAMEntry const& entry) {
    text += ControlText(entry.control());
    CheckModule(entry.module());
    text += '\t';
    text += entry.module();
    text += '\t';
    for (std::string const& parameter : entry.parameters()) {
        CheckParameter(entry.module(), parameter);
        text += parameter;
        text += ' ';
    }
}

void AppendStack(std::string& text, PAMStack const& stack) {
    if (stack.empty()) return;
    std::string const facility = stack.Facility();
    for (PAMEntry const& entry : stack) {
        text += facility;
        text += '\t';
        AppendEntry(text, entry);
        text += '\n';
    }
}

std::ostream& WriteText(std::ostream& out, std::string const& text) {
    return out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// About the length a stack takes written out, so that a large policy is assembled in one
// allocation instead of being copied over and over while it grows.
std::string::size_type WrittenSizeEstimate(PAMStack const& stack) {
    std::string::size_type size = 0;
    for (PAMEntry const& entry : stack) {
        size += entry.module().size() + 24;  // facility, control and separators
        for (std::string const& parameter : entry.parameters()) size += parameter.size() + 1;
    }
    return size;
}

// The parameters of one line: its words as the stream's locale separates them.
void SplitWords(std::string const& line, std::ctype<char> const& ctype,
                std::vector<std::string>& words) {
    std::string::size_type const end = line.size();
    std::string::size_type pos = 0;
    for (;;) {
        while (pos < end && ctype.is(std::ctype_base::space, line[pos])) ++pos;
        if (pos == end) return;
        std::string::size_type const first = pos;
        while (pos < end && !ctype.is(std::ctype_base::space, line[pos])) ++pos;
        words.emplace_back(line, first, pos - first);
    }
}

// One statement after its facility: the control (a bracketed one may span tokens and lines),
// the module, and the words of the rest of the module's line, appended to `parameters`. An
// invalid control throws before anything after it is read.
void ReadEntryParts(std::istream& in, std::ctype<char> const& ctype, PAMControl& control,
                    std::string& module, std::vector<std::string>& parameters) {
    std::string text;
    in >> text;
    // A bracketed control ends with the first token that ends with "]".
    if (!text.empty() && text[0] == '[' && text[text.size() - 1] != ']') {
        std::string token;
        while (in >> token && !token.empty()) {
            text += ' ';
            text += token;
            if (token[token.size() - 1] == ']') break;
        }
    }
    control = PAMControl(text);
    // Input that ends right after the control leaves the module empty; the writer refuses
    // such an entry rather than let the next line be taken for its module.
    in >> module;
    // Parameters belong to the line on which the module ends. When the module ended the
    // input there is no rest, and reading none must not mark the stream as failed.
    if (in.good()) {
        std::string rest;
        std::getline(in, rest);
        SplitWords(rest, ctype, parameters);
    }
}

}  // namespace

InvalidEntryException::InvalidEntryException(std::string const& message) : message(message) {}
InvalidEntryException::~InvalidEntryException() {}
char const* InvalidEntryException::what() const noexcept {
    return message.c_str();
}

PAMEntry::PAMEntry() {}
PAMEntry::PAMEntry(PAMControl control, std::string module)
    : control_(control), module_(std::move(module)) {}
PAMEntry::PAMEntry(PAMEntry const& other)
    : control_(other.control_), module_(other.module_), parameters_(other.parameters_) {}

PAMEntry& PAMEntry::operator=(PAMEntry const& other) {
    control_ = other.control_;
    module_ = other.module_;
    parameters_ = other.parameters_;
    return *this;
}

bool PAMEntry::operator==(PAMEntry const& other) const {
    return static_cast<PAMControl::Control>(control_) ==
               static_cast<PAMControl::Control>(other.control_) &&
           module_ == other.module_ && parameters_ == other.parameters_;
}

PAMStack::PAMStack() {}
PAMStack::PAMStack(PAMFacility const& facility) : facility(facility) {}
PAMStack::PAMStack(PAMStack const& other) : std::deque<PAMEntry>(other), facility(other.facility) {}

PAMStack& PAMStack::operator=(PAMStack const& other) {
    std::deque<PAMEntry>::operator=(other);
    facility = other.facility;
    return *this;
}

PAMStack::iterator PAMStack::find(std::string const& module) {
    return std::find_if(begin(), end(),
                        [&module](PAMEntry const& entry) { return entry.module() == module; });
}

PAMStack::const_iterator PAMStack::find(std::string const& module) const {
    return std::find_if(begin(), end(),
                        [&module](PAMEntry const& entry) { return entry.module() == module; });
}

PAMPolicy::PAMPolicy(std::string const& serviceName) : serviceName_(serviceName) {}

PAMStack& PAMPolicy::operator[](PAMFacility facility) {
    // An empty stack costs an allocation; only a missing facility needs one.
    Stacks::iterator found = stacks_.lower_bound(facility);
    if (found != stacks_.end() && !(facility < found->first)) return found->second;
    return stacks_.insert(found, Stacks::value_type(facility, PAMStack(facility)))->second;
}

std::istream& operator>>(std::istream& in, PAMEntry& entry) {
    PAMControl control;
    std::string module;
    std::vector<std::string> parameters = entry.parameters();
    ReadEntryParts(in, std::use_facet<std::ctype<char> >(in.getloc()), control, module, parameters);
    entry = PAMEntry(control, module);
    entry.parameters().swap(parameters);
    return in;
}

std::istream& operator>>(std::istream& in, PAMPolicy& policy) {
    typedef std::istream::traits_type Traits;
    if (in.fail()) return in;
    std::ctype<char> const& ctype = std::use_facet<std::ctype<char> >(in.getloc());
    // The end is tested before peeking: peeking at a stream already at its end would mark
    // a complete read as failed.
    while (!in.fail() && !in.eof()) {
        Traits::int_type next = in.peek();
        while (!Traits::eq_int_type(next, Traits::eof()) &&
               ctype.is(std::ctype_base::space, Traits::to_char_type(next))) {
            in.get();
            next = in.peek();
        }
        if (Traits::eq_int_type(next, Traits::to_int_type('#'))) {
            in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
            continue;
        }
        if (Traits::eq_int_type(next, Traits::eof())) break;

        PAMFacility facility;
        in >> facility;
        // Parsed completely before the policy changes, so that a statement that fails to
        // parse adds nothing, not even an empty stack.
        PAMControl control;
        std::string module;
        std::vector<std::string> parameters;
        ReadEntryParts(in, ctype, control, module, parameters);
        PAMStack& stack = policy[facility];
        stack.emplace_back(control, std::move(module));
        stack.back().parameters().swap(parameters);
    }
    return in;
}

std::ostream& operator<<(std::ostream& out, PAMEntry const& entry) {
    std::string text;
    AppendEntry(text, entry);
    return WriteText(out, text);
}

std::ostream& operator<<(std::ostream& out, PAMStack const& stack) {
    std::string text;
    AppendStack(text, stack);
    return WriteText(out, text);
}

std::ostream& operator<<(std::ostream& out, PAMPolicy const& policy) {
    std::string::size_type size = 16;
    for (PAMPolicy::Stacks::value_type const& stack : policy.stacks()) {
        size += WrittenSizeEstimate(stack.second) + 1;
    }
    std::string text;
    text.reserve(size);
    text = "#%PAM-1.0\n\n";
    for (PAMPolicy::Stacks::value_type const& stack : policy.stacks()) {
        AppendStack(text, stack.second);
        text += '\n';
    }
    return WriteText(out, text);
}

}  // namespace SystemConfiguration
