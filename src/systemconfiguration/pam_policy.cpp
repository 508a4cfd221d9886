#include <systemconfiguration/pam_policy.h>

#include <algorithm>
#include <cstring>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "model_text.h"

namespace SystemConfiguration {

namespace {

// Outside brackets the writer refuses all whitespace (as the C library classifies it) inside
// a field: the PAM library splits fields at some and keeps the rest in the field, where a
// module would receive a name or argument nobody can see.
using text::IsSpace;
using text::WriteText;

// What a character is to the reader and the writer, looked up once per character.
enum CharClass : unsigned char {
    kSeparator = 1,   // the PAM library separates fields at these only
    kOtherSpace = 2,  // whitespace the library keeps inside a field
    kCut = 4,         // a comment sign, a line feed or a NUL cuts a field
};

struct CharClasses {
    unsigned char of[256] = {};
    constexpr CharClasses() {
        of[static_cast<unsigned char>(' ')] = kSeparator;
        of[static_cast<unsigned char>('\t')] = kSeparator;
        of[static_cast<unsigned char>('\n')] = kSeparator | kCut;
        of[static_cast<unsigned char>('\v')] = kOtherSpace;
        of[static_cast<unsigned char>('\f')] = kOtherSpace;
        of[static_cast<unsigned char>('\r')] = kOtherSpace;
        of[static_cast<unsigned char>('#')] = kCut;
        of[0] = kCut;
    }
};

constexpr CharClasses kCharClasses;

unsigned ClassOf(char c) {
    return kCharClasses.of[static_cast<unsigned char>(c)];
}

bool IsFieldSeparator(char c) {
    return (ClassOf(c) & kSeparator) != 0;
}

// The end of a bracketed field opening at `open`, as the library finds it: just after the first
// "]" not escaped by a backslash, or npos when the brackets do not close.
std::string_view::size_type BracketEnd(std::string_view text, std::string_view::size_type open) {
    for (std::string_view::size_type i = open + 1; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == ']') {
            ++i;
        } else if (text[i] == ']') {
            return i + 1;
        }
    }
    return std::string_view::npos;
}

// Whether the text, written between separators, reads back as exactly this one field: a
// comment sign, a line feed or a NUL would cut it, and a bracketed field must close at its
// last character. Outside brackets it must hold no whitespace at all.
bool ReadsBackAsOneField(std::string const& text) {
    // Most fields hold no byte that has a class at all.
    if (!text::MayHoldSpaceOrMark(text.data(), text.size())) {
        return text.empty() || text[0] != '[' || BracketEnd(text, 0) == text.size();
    }
    unsigned classes = 0;
    for (char c : text) classes |= ClassOf(c);
    if ((classes & kCut) != 0) return false;
    if (!text.empty() && text[0] == '[') return BracketEnd(text, 0) == text.size();
    return (classes & (kSeparator | kOtherSpace)) == 0;
}

bool ReadsBackAsComplex(std::string const& text) {
    return !text.empty() && text[0] == '[' && ReadsBackAsOneField(text);
}

std::string ControlText(PAMControl const& control) {
    std::string text = control;
    if (control == PAMControl::Complex && !ReadsBackAsComplex(text)) {
        throw InvalidControlException("Invalid Control: " + text);
    }
    return text;
}

// The control's text as ControlText gives it (with its checks), without a copy for the six
// words; a bracketed text is copied into `scratch`.
std::string_view ControlView(PAMControl const& control, std::string& scratch) {
    if (control != PAMControl::Complex) {
        text::Word const* word =
            text::FindKind(text::kPAMControlWords, static_cast<PAMControl::Control>(control));
        if (word != nullptr) return word->text;
    }
    scratch = ControlText(control);
    return scratch;
}

// Why a field would not read back as itself, in the words of the messages.
char const* FieldFault(std::string const& text) {
    bool const bracketed = !text.empty() && text[0] == '[';
    if (bracketed && text.find_first_of(std::string("#\n\0", 3)) == std::string::npos) {
        return "does not close its brackets at its end";
    }
    if (text.find('#') != std::string::npos) return "contains '#'";
    return "contains whitespace";
}

void CheckModule(std::string const& module) {
    if (module.empty()) throw InvalidEntryException("Invalid Entry: the module is empty");
    if (!ReadsBackAsOneField(module)) {
        throw InvalidEntryException("Invalid Entry: the module '" + module + "' " +
                                    FieldFault(module));
    }
}

void CheckParameter(std::string const& module, std::string const& parameter) {
    if (parameter.empty()) {
        throw InvalidEntryException("Invalid Entry: a parameter of the module '" + module +
                                    "' is empty");
    }
    if (!ReadsBackAsOneField(parameter)) {
        throw InvalidEntryException("Invalid Entry: the parameter '" + parameter +
                                    "' of the module '" + module + "' " + FieldFault(parameter));
    }
}

// The library joins a line whose last field ends with a backslash to the next one.
void CheckLastField(PAMEntry const& entry) {
    std::string const& last =
        entry.parameters().empty() ? entry.module() : entry.parameters().back();
    if (last[last.size() - 1] == '\\') {
        throw InvalidEntryException("Invalid Entry: the line of the module '" + entry.module() +
                                    "' would end with a backslash");
    }
}

// The writer's checks of an entry, in the order it makes them, and the length it gives the
// entry with a control text of `controlSize` characters.
std::string::size_type WrittenEntrySize(PAMEntry const& entry, std::string::size_type controlSize) {
    CheckModule(entry.module());
    std::string::size_type size = controlSize + 1 + entry.module().size() + 1;
    for (std::string const& parameter : entry.parameters()) {
        CheckParameter(entry.module(), parameter);
        size += parameter.size() + 1;
    }
    CheckLastField(entry);
    return size;
}

// Text written through a cursor into a string sized ahead, instead of appended piece by piece.
class Output {
public:
    explicit Output(std::string::size_type estimate) { text.resize(estimate); }

    // Room for `size` more characters; returns where they go.
    char* Reserve(std::string::size_type size) {
        if (used + size > text.size()) text.resize(std::max(text.size() * 2, used + size));
        return &text[used];
    }
    void Advance(std::string::size_type size) { used += size; }
    void Put(std::string_view piece) {
        std::memcpy(Reserve(piece.size()), piece.data(), piece.size());
        used += piece.size();
    }
    std::string& Finish() {
        text.resize(used);
        return text;
    }

private:
    std::string text;
    std::string::size_type used = 0;
};

char* Copy(char* out, std::string_view piece) {
    std::memcpy(out, piece.data(), piece.size());
    return out + piece.size();
}

// An entry as the writer puts it, `size` characters from WrittenEntrySize.
char* WriteEntry(char* out, PAMEntry const& entry, std::string_view control) {
    out = Copy(out, control);
    *out++ = '\t';
    out = Copy(out, entry.module());
    *out++ = '\t';
    for (std::string const& parameter : entry.parameters()) {
        out = Copy(out, parameter);
        *out++ = ' ';
    }
    return out;
}

// Text is assembled completely before anything reaches the stream, so a value that cannot
// be written leaves the stream untouched.
void AppendEntry(Output& text, PAMEntry const& entry) {
    std::string scratch;
    std::string_view const control = ControlView(entry.control(), scratch);
    std::string::size_type const size = WrittenEntrySize(entry, control.size());
    WriteEntry(text.Reserve(size), entry, control);
    text.Advance(size);
}

// The library reads a service file into a buffer of 1024 bytes. A line that does not fit is
// cut into two statements, and a continued statement that overflows aborts the whole service;
// a margin of two bytes keeps clear of both.
std::string::size_type const kLineLimit = 1022;

std::string LongStatement() {
    return "Invalid Entry: a statement is longer than " + std::to_string(kLineLimit - 1) +
           " characters";
}

// The facility's word, or the exception its text conversion throws.
std::string_view FacilityText(PAMFacility const& facility) {
    text::Word const* word =
        text::FindKind(text::kPAMFacilityWords, static_cast<PAMFacility::Facility>(facility));
    if (word == nullptr) static_cast<void>(static_cast<std::string>(facility));  // throws
    return word->text;
}

void AppendStack(Output& text, PAMStack const& stack) {
    if (stack.empty()) return;
    std::string_view const facility = FacilityText(stack.Facility());
    std::string scratch;
    for (PAMEntry const& entry : stack) {
        std::string_view const control = ControlView(entry.control(), scratch);
        std::string::size_type const line = (entry.moduleMayBeMissing() ? 1 : 0) + facility.size() +
                                            1 + WrittenEntrySize(entry, control.size()) + 1;
        // The library would cut a longer line into two statements.
        if (line > kLineLimit) throw InvalidEntryException(LongStatement());
        char* out = text.Reserve(line);
        if (entry.moduleMayBeMissing()) *out++ = '-';
        out = Copy(out, facility);
        *out++ = '\t';
        out = WriteEntry(out, entry, control);
        *out = '\n';
        text.Advance(line);
    }
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

typedef std::istream::traits_type Traits;

// Physical lines taken from the stream as they are needed, so that a single statement read
// from a stream leaves the rest of it unread.
class StreamLines {
public:
    explicit StreamLines(std::istream& in) : in(in) {}
    bool AtEnd() {
        // Peeking at a stream already at its end would mark a complete read as failed.
        return in.eof() || Traits::eq_int_type(in.peek(), Traits::eof());
    }
    std::string_view Next() {
        std::getline(in, physical);
        return physical;
    }

private:
    std::istream& in;
    std::string physical;
};

// Physical lines of text read whole, with the stream's end-of-file state set where line-wise
// reading would have set it.
class TextLines {
public:
    TextLines(std::string_view text, std::istream& in, bool ended)
        : text(text), in(in), ended(ended) {}
    bool AtEnd() {
        if (position < text.size()) return false;
        if (ended) in.setstate(std::ios_base::eofbit);
        return true;
    }
    std::string_view Next() {
        std::string_view::size_type end = text.find('\n', position);
        std::string_view line;
        if (end == std::string_view::npos) {
            line = text.substr(position);
            position = text.size();
            if (ended) in.setstate(std::ios_base::eofbit);
        } else {
            line = text.substr(position, end - position);
            position = end + 1;
        }
        return line;
    }

private:
    std::string_view text;
    std::string_view::size_type position = 0;
    std::istream& in;
    bool ended;
};

// One logical line as the library assembles it: a "#" ends the line wherever it stands, a
// line ending with a backslash (before trailing blanks) goes on with the next line that holds
// anything but blanks or a comment, the backslash read as a space. Lines holding only blanks
// or a comment are skipped before a statement, unless `skipBlank` is false. False at the end
// of the input with nothing read. `logical` points into the input, or into `joined` when
// lines were joined.
template <typename Lines>
bool ReadLogicalLine(Lines& lines, bool skipBlank, std::string_view& logical, std::string& joined) {
    logical = std::string_view();
    joined.clear();
    std::string::size_type used = 0;  // what the library's buffer holds of this statement
    bool continued = false;
    for (;;) {
        if (lines.AtEnd()) {
            // The library aborts the service when the input ends inside a continued statement.
            if (continued) {
                throw InvalidEntryException("Invalid Entry: the input ends after a backslash");
            }
            return false;
        }
        std::string_view const physical = lines.Next();
        if (physical.find('\0') != std::string_view::npos) {
            throw InvalidEntryException("Invalid Entry: a line holds a NUL character");
        }
        if (used + physical.size() + 1 > kLineLimit) {
            throw InvalidEntryException(LongStatement());
        }
        std::string_view::size_type first = 0;
        while (first < physical.size() && (physical[first] == ' ' || physical[first] == '\t')) {
            ++first;
        }
        if (first == physical.size() || physical[first] == '#') {
            if (continued || skipBlank) continue;
            return true;
        }
        std::string_view part = physical;
        bool ends = true;
        std::string_view::size_type const comment = physical.find('#', first);
        if (comment != std::string_view::npos) {
            part = physical.substr(0, comment);
        } else {
            // Not before `first`, which is no blank.
            std::string_view::size_type last = physical.size() - 1;
            while (physical[last] == ' ' || physical[last] == '\t') --last;
            if (physical[last] == '\\') {
                part = physical.substr(0, last);
                used += last + 1;
                ends = false;
            }
        }
        if (ends && !continued) {
            logical = part;
            return true;
        }
        joined.append(part.data(), part.size());
        if (ends) {
            logical = joined;
            return true;
        }
        joined += ' ';
        continued = true;
    }
}

// One field of a logical line as the library takes it, from `pos` on: a bracketed field runs
// to its first unescaped "]" (and need not be followed by a separator), any other to the next
// separator. False when no field is left; `closed` is false for brackets that never close.
// `plain` turns false for a bracketed field or one that holds whitespace other than separators:
// only such a field can fail the writer's checks.
inline bool NextField(std::string_view line, std::string_view::size_type& pos,
                      std::string_view& field, bool& closed, bool& plain) {
    while (pos < line.size() && IsFieldSeparator(line[pos])) ++pos;
    if (pos == line.size()) return false;
    std::string_view::size_type const first = pos;
    closed = true;
    if (line[pos] == '[') {
        std::string_view::size_type const end = BracketEnd(line, pos);
        closed = end != std::string_view::npos;
        pos = closed ? end : line.size();
        plain = false;
    } else {
        unsigned classes = 0;
        // Eight characters at a time up to the next one that has a class.
        while (pos + 8 <= line.size()) {
            std::string_view::size_type const next = text::FirstBelowDollar(line.data() + pos);
            pos += next;
            if (next == 8) continue;
            unsigned const c = ClassOf(line[pos]);
            if ((c & kSeparator) != 0) break;
            classes |= c;
            ++pos;
        }
        for (; pos < line.size(); ++pos) {
            unsigned const c = ClassOf(line[pos]);
            if ((c & kSeparator) != 0) break;
            classes |= c;
        }
        if ((classes & kOtherSpace) != 0) plain = false;
    }
    field = std::string_view(line.data() + first, pos - first);
    return true;
}

// A bracketed control with each run of whitespace inside reduced to one space; the library
// reads the settings between the brackets as separated by any whitespace.
std::string CompactControl(std::string_view text) {
    std::string compact;
    for (char c : text) {
        if (IsSpace(c)) {
            if (compact.empty() || compact[compact.size() - 1] != ' ') compact += ' ';
        } else {
            compact += c;
        }
    }
    return compact;
}

// The control field's kind, and for a bracketed control its text in `complex`.
PAMControl::Control ParseControlField(std::string_view field, bool closed, std::string& complex) {
    if (!field.empty() && field[0] == '[') {
        if (!closed) throw InvalidControlException("Invalid Control: " + std::string(field));
        complex = CompactControl(field);
        return PAMControl::Complex;
    }
    // Words compare without regard to ASCII letter case, as the library compares them.
    text::Word const* word = text::FindTextIgnoringCase(text::kPAMControlWords, field);
    if (word == nullptr) throw InvalidControlException("Invalid Control: " + std::string(field));
    return static_cast<PAMControl::Control>(word->kind);
}

// The statement after its facility as split from the logical line, before it becomes an entry.
struct Statement {
    // Fields as pointer and length: an array of them needs no construction. A logical line is
    // shorter than kLineLimit, so it holds fewer fields than this.
    struct Field {
        char const* data;
        std::size_t size;
    };
    static constexpr std::size_t kMaximumFields = 512;

    PAMControl::Control kind = PAMControl::Unset;
    std::string complex;  // the text of a bracketed control
    std::string_view module;
    std::string::size_type size = 0;  // the length the writer gives the entry
    bool plain = true;                // false: the writer's checks must run
    std::size_t count = 0;            // parameters
    Field parameters[kMaximumFields];

    PAMControl Control() const {
        return kind == PAMControl::Complex ? PAMControl(kind, complex) : PAMControl(kind);
    }
};

// The statement after its facility, from `pos` in the logical line: control, module and
// parameters, split as the library splits them. `hasParameters`: the entry read into holds
// parameters already (they come first and are checked with the others).
void SplitStatement(std::string_view line, std::string_view::size_type pos, bool hasParameters,
                    Statement& statement) {
    std::string_view field;
    bool closed = true;
    bool plain = true;
    if (!NextField(line, pos, field, closed, plain)) {
        throw InvalidControlException("Invalid Control: ");
    }
    statement.kind = ParseControlField(field, closed, statement.complex);
    statement.size = field.size() + 1;
    // Without a module the library installs a statement that always fails; the model has no
    // such statement, and taking the next line's first word instead would change the result.
    if (!NextField(line, pos, field, closed, plain)) {
        throw InvalidEntryException("Invalid Entry: the module is empty");
    }
    std::string_view const module = field;
    bool moduleClosed = closed;
    statement.module = module;
    statement.size += module.size() + 1;
    statement.count = 0;
    plain = plain && !hasParameters;
    while (NextField(line, pos, field, closed, plain)) {
        if (!closed) {
            throw InvalidEntryException("Invalid Entry: the parameter '" + std::string(field) +
                                        "' of the module '" + std::string(module) +
                                        "' does not close its brackets");
        }
        if (statement.count == Statement::kMaximumFields) {
            throw InvalidEntryException(LongStatement());  // not reached: see kMaximumFields
        }
        statement.parameters[statement.count++] = Statement::Field{field.data(), field.size()};
        statement.size += field.size() + 1;
    }
    if (!moduleClosed) {
        throw InvalidEntryException("Invalid Entry: the module '" + std::string(module) +
                                    "' does not close its brackets");
    }
    statement.plain = plain;
}

// Appends the statement's parameters to the entry made of its control and module. What the
// writer would refuse (whitespace the library keeps inside a field, a last field ending with
// a backslash) is refused here, before anything is kept. Plain fields split from a line pass
// all of it but the backslash. Returns the length the writer gives the entry, so that the
// caller can check the whole line.
std::string::size_type CompleteEntry(Statement const& statement, PAMEntry& entry) {
    std::vector<std::string>& parameters = entry.parameters();
    parameters.reserve(parameters.size() + statement.count);
    for (std::size_t i = 0; i < statement.count; ++i) {
        parameters.emplace_back(statement.parameters[i].data, statement.parameters[i].size);
    }
    if (!statement.plain) return WrittenEntrySize(entry, ControlText(entry.control()).size());
    CheckLastField(entry);
    return statement.size;
}

// Everything the stream still holds, taken from its buffer in blocks rather than character by
// character. False when reading failed on the way (what was read is kept, as line-wise
// reading would have kept it).
bool ReadRest(std::istream& in, std::string& text) {
    std::streambuf* buffer = in.rdbuf();
    try {
        while (!Traits::eq_int_type(buffer->sgetc(), Traits::eof())) {
            // The get area is filled now, so this asks the file for nothing.
            std::streamsize const available = buffer->in_avail();
            if (available <= 0) {  // a buffer without a get area
                text += Traits::to_char_type(buffer->sbumpc());
                continue;
            }
            std::string::size_type const size = text.size();
            text.resize(size + static_cast<std::string::size_type>(available));
            text.resize(size +
                        static_cast<std::string::size_type>(buffer->sgetn(&text[size], available)));
        }
    } catch (...) {
        // As the stream's own extraction does: bad, and the error passed on when asked for.
        bool const pass = (in.exceptions() & std::ios_base::badbit) != 0;
        try {
            in.setstate(std::ios_base::badbit);
        } catch (std::ios_base::failure const&) {
        }
        if (pass) throw;
        return false;
    }
    return true;
}

// A refused read leaves the stream failed, so that a caller that goes on to write what it
// holds sees the failure; a stream that throws on failure must not replace the refusal.
void MarkFailed(std::istream& in) {
    try {
        in.setstate(std::ios_base::failbit);
    } catch (std::ios_base::failure const&) {
    }
}

}  // namespace

PAMEntry::PAMEntry() {}
PAMEntry::PAMEntry(PAMControl control, std::string module)
    : control_(control), module_(std::move(module)) {}
PAMEntry::PAMEntry(PAMEntry const& other)
    : control_(other.control_),
      module_(other.module_),
      parameters_(other.parameters_),
      moduleMayBeMissing_(other.moduleMayBeMissing_) {}

PAMEntry::PAMEntry(PAMEntry&& other)
    : control_(other.control_),
      module_(std::move(other.module_)),
      parameters_(std::move(other.parameters_)),
      moduleMayBeMissing_(other.moduleMayBeMissing_) {}

PAMEntry& PAMEntry::operator=(PAMEntry&& other) {
    control_ = other.control_;
    module_ = std::move(other.module_);
    parameters_ = std::move(other.parameters_);
    moduleMayBeMissing_ = other.moduleMayBeMissing_;
    return *this;
}

PAMEntry& PAMEntry::operator=(PAMEntry const& other) {
    control_ = other.control_;
    module_ = other.module_;
    parameters_ = other.parameters_;
    moduleMayBeMissing_ = other.moduleMayBeMissing_;
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
    // Built in place: a stack is copied, not moved, and each copy allocates.
    return stacks_
        .emplace_hint(found, std::piecewise_construct, std::forward_as_tuple(facility),
                      std::forward_as_tuple(facility))
        ->second;
}

std::istream& operator>>(std::istream& in, PAMEntry& entry) {
    if (in.fail()) return in;
    try {
        StreamLines lines(in);
        std::string_view line;
        std::string joined;
        ReadLogicalLine(lines, false, line, joined);
        // The entry changes only once the statement is accepted.
        Statement statement;
        SplitStatement(line, 0, !entry.parameters().empty(), statement);
        PAMEntry parsed(statement.Control(), std::string(statement.module));
        parsed.parameters() = entry.parameters();
        parsed.setModuleMayBeMissing(entry.moduleMayBeMissing());
        CompleteEntry(statement, parsed);
        entry = std::move(parsed);
    } catch (...) {
        MarkFailed(in);
        throw;
    }
    return in;
}

std::istream& operator>>(std::istream& in, PAMPolicy& policy) {
    if (in.fail() || in.eof()) return in;
    // Everything is parsed into a policy of its own before the given one changes, so that a
    // refused statement anywhere leaves the policy as it was.
    PAMPolicy read(policy.serviceName());
    try {
        std::istream::sentry const ready(in, true);
        std::string text;
        bool const ended = ReadRest(in, text);
        TextLines lines(text, in, ended);
        std::string_view line;
        std::string joined;
        Statement statement;
        PAMFacility last;
        PAMStack* stack = nullptr;
        while (ReadLogicalLine(lines, true, line, joined)) {
            std::string_view::size_type pos = 0;
            std::string_view field;
            bool closed = true;
            bool plain = true;
            NextField(line, pos, field, closed, plain);
            std::string_view word = field;
            bool const mayBeMissing = !word.empty() && word[0] == '-';
            if (mayBeMissing) word.remove_prefix(1);
            // Words compare without regard to ASCII letter case, as the library compares them.
            // A bracketed facility ("[auth]") never matches: the model cannot write it.
            text::Word const* known = text::FindTextIgnoringCase(text::kPAMFacilityWords, word);
            if (known == nullptr) {
                throw InvalidFacilityException("Invalid Facility: " + std::string(field));
            }
            PAMFacility const facility(static_cast<PAMFacility::Facility>(known->kind));
            // Statements of one facility mostly follow each other.
            if (stack == nullptr || !(facility == last)) {
                stack = &read[facility];
                last = facility;
            }
            SplitStatement(line, pos, false, statement);
            PAMEntry& entry =
                stack->emplace_back(statement.Control(), std::string(statement.module));
            entry.setModuleMayBeMissing(mayBeMissing);
            // The written line may be longer than the read one (separators, a trailing
            // space); what could not be written is not read.
            std::string::size_type const written =
                (mayBeMissing ? 1 : 0) + word.size() + 1 + CompleteEntry(statement, entry);
            if (written + 1 > kLineLimit) throw InvalidEntryException(LongStatement());
        }
    } catch (...) {
        MarkFailed(in);
        throw;
    }
    if (policy.stacks().empty()) {
        policy = std::move(read);
        return in;
    }
    for (PAMPolicy::Stacks::value_type const& stack : read.stacks()) {
        std::deque<PAMEntry>& from = read[stack.first];
        std::deque<PAMEntry>& to = policy[stack.first];
        if (to.empty()) {
            to.swap(from);
        } else {
            for (PAMEntry& entry : from) to.push_back(std::move(entry));
        }
    }
    return in;
}

std::ostream& operator<<(std::ostream& out, PAMEntry const& entry) {
    Output text(64);
    AppendEntry(text, entry);
    return WriteText(out, text.Finish());
}

std::ostream& operator<<(std::ostream& out, PAMStack const& stack) {
    Output text(WrittenSizeEstimate(stack));
    AppendStack(text, stack);
    return WriteText(out, text.Finish());
}

std::ostream& operator<<(std::ostream& out, PAMPolicy const& policy) {
    std::string::size_type size = 16;
    for (PAMPolicy::Stacks::value_type const& stack : policy.stacks()) {
        size += WrittenSizeEstimate(stack.second) + 1;
    }
    Output text(size);
    text.Put("#%PAM-1.0\n\n");
    for (PAMPolicy::Stacks::value_type const& stack : policy.stacks()) {
        AppendStack(text, stack.second);
        text.Put("\n");
    }
    return WriteText(out, text.Finish());
}

}  // namespace SystemConfiguration
