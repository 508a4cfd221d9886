#include <systemconfiguration/nss_configuration.h>

#include <algorithm>
#include <istream>
#include <ostream>

namespace SystemConfiguration {

namespace {

struct Word {
    std::int32_t kind;
    char const* text;
};

// Constant-initialised: present before any code of the library runs, never written.
constexpr Word kDatabaseWords[] = {
    {NSSDatabase::Passwd, "passwd"},       {NSSDatabase::Group, "group"},
    {NSSDatabase::Shadow, "shadow"},       {NSSDatabase::Hosts, "hosts"},
    {NSSDatabase::Netmasks, "netmasks"},   {NSSDatabase::Networks, "networks"},
    {NSSDatabase::Protocols, "protocols"}, {NSSDatabase::Services, "services"},
    {NSSDatabase::Ethers, "ethers"},       {NSSDatabase::Rpc, "rpc"},
    {NSSDatabase::Netgroup, "netgroup"},   {NSSDatabase::Bootparams, "bootparams"},
    {NSSDatabase::Publickey, "publickey"}, {NSSDatabase::Automount, "automount"},
    {NSSDatabase::Aliases, "aliases"}};

Word const* FindWord(std::string const& text) {
    for (Word const& word : kDatabaseWords) {
        if (text == word.text) return &word;
    }
    return nullptr;
}

NSSDatabase::Database ParseDatabase(std::string const& text) {
    Word const* word = FindWord(text);
    if (!word) throw InvalidDatabaseException("Invalid Database: " + text);
    return static_cast<NSSDatabase::Database>(word->kind);
}

// What formatted extraction treats as whitespace with the default locale.
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Finds the next token at or after pos within [pos, end); false when there is none.
bool NextToken(std::string const& line, std::string::size_type end, std::string::size_type& pos,
               std::string::size_type& first, std::string::size_type& last) {
    while (pos < end && IsSpace(line[pos])) ++pos;
    if (pos == end) return false;
    first = pos;
    while (pos < end && !IsSpace(line[pos])) ++pos;
    last = pos;
    return true;
}

void ReadLine(NSSConfiguration& configuration, std::string const& line) {
    typedef std::string::size_type Size;
    if (line.empty() || line[0] == '#') return;
    Size pos = line.find_first_not_of(" \t\r\n");
    if (pos == std::string::npos) return;

    Size first = 0;
    Size last = 0;
    if (!NextToken(line, line.size(), pos, first, last)) return;
    // The database word is the first token less its last character, normally the colon.
    Word const* database = FindWord(line.substr(first, last - first - 1));
    if (!database) return;
    NSSDatabase const kind(static_cast<NSSDatabase::Database>(database->kind));

    while (NextToken(line, line.size(), pos, first, last)) {
        NSSService service(line.substr(first, last - first));
        // Criteria follow their service after exactly one whitespace character.
        if (last + 1 < line.size() && line[last + 1] == '[') {
            Size const open = last + 2;
            Size close = line.find(']', open);
            if (close == std::string::npos) close = line.size();
            Size at = open;
            Size begin = 0;
            Size end = 0;
            while (NextToken(line, close, at, begin, end)) {
                service.parameters().push_back(line.substr(begin, end - begin));
            }
            pos = close == line.size() ? close : close + 1;
        }
        configuration[kind].push_back(service);
    }
}

bool ContainsSpace(std::string const& text) {
    return std::find_if(text.begin(), text.end(), IsSpace) != text.end();
}

void CheckService(NSSService const& service) {
    std::string const& module = service.module();
    if (module.empty()) throw InvalidServiceException("Invalid Service: the module is empty");
    if (ContainsSpace(module)) {
        throw InvalidServiceException("Invalid Service: the module '" + module +
                                      "' contains whitespace");
    }
    for (std::string const& parameter : service.parameters()) {
        if (parameter.empty()) {
            throw InvalidServiceException("Invalid Service: a criterion of the module '" + module +
                                          "' is empty");
        }
        if (ContainsSpace(parameter) || parameter.find(']') != std::string::npos) {
            throw InvalidServiceException("Invalid Service: the criterion '" + parameter +
                                          "' of the module '" + module +
                                          "' contains whitespace or ']'");
        }
    }
}

// Text is assembled completely before anything reaches the stream, so a value that cannot
// be written leaves the stream untouched.
void AppendService(std::string& text, NSSService const& service) {
    CheckService(service);
    text += service.module();
    if (service.parameters().empty()) return;
    text += " [";
    for (std::vector<std::string>::size_type i = 0; i < service.parameters().size(); ++i) {
        if (i > 0) text += ' ';
        text += service.parameters()[i];
    }
    text += ']';
}

std::ostream& WriteText(std::ostream& out, std::string const& text) {
    return out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace

InvalidDatabaseException::InvalidDatabaseException(std::string const& message) : message(message) {}
InvalidDatabaseException::~InvalidDatabaseException() {}
char const* InvalidDatabaseException::what() const noexcept {
    return message.c_str();
}

InvalidServiceException::InvalidServiceException(std::string const& message) : message(message) {}
InvalidServiceException::~InvalidServiceException() {}
char const* InvalidServiceException::what() const noexcept {
    return message.c_str();
}

NSSDatabase::NSSDatabase() : kind(Unset) {}
NSSDatabase::NSSDatabase(Database kind) : kind(kind) {}
NSSDatabase::NSSDatabase(NSSDatabase const& other) : kind(other.kind) {}
NSSDatabase::NSSDatabase(std::string const& text) : kind(ParseDatabase(text)) {}

NSSDatabase& NSSDatabase::operator=(NSSDatabase const& other) {
    kind = other.kind;
    return *this;
}

NSSDatabase& NSSDatabase::operator=(Database newKind) {
    kind = newKind;
    return *this;
}

NSSDatabase& NSSDatabase::operator=(std::string const& text) {
    kind = ParseDatabase(text);
    return *this;
}

bool NSSDatabase::operator==(std::string const& text) const {
    return kind == ParseDatabase(text);
}

NSSDatabase::operator std::string() const {
    for (Word const& word : kDatabaseWords) {
        if (word.kind == kind) return word.text;
    }
    throw InvalidDatabaseException("Invalid Database: " + std::to_string(kind));
}

NSSService::NSSService(std::string const& module) : module_(module) {}
NSSService::NSSService(NSSService const& other)
    : module_(other.module_), parameters_(other.parameters_) {}

NSSService& NSSService::operator=(NSSService const& other) {
    module_ = other.module_;
    parameters_ = other.parameters_;
    return *this;
}

bool NSSService::operator==(NSSService const& other) const {
    return module_ == other.module_ && parameters_ == other.parameters_;
}

NSSConfiguration::NSSConfiguration() {}

NSSConfiguration::Services& NSSConfiguration::operator[](NSSDatabase database) {
    return databases_[database];
}

std::istream& operator>>(std::istream& in, NSSConfiguration& configuration) {
    typedef std::istream::traits_type Traits;
    if (in.fail()) return in;
    std::string line;
    // Stopping when only the end is left keeps a complete read from marking the stream as
    // failed; a stream that breaks while reading still stops the loop.
    while (!in.eof() && !Traits::eq_int_type(in.peek(), Traits::eof()) && std::getline(in, line)) {
        ReadLine(configuration, line);
    }
    return in;
}

std::ostream& operator<<(std::ostream& out, NSSService const& service) {
    std::string text;
    AppendService(text, service);
    return WriteText(out, text);
}

std::ostream& operator<<(std::ostream& out, NSSConfiguration const& configuration) {
    std::string text;
    for (NSSConfiguration::Databases::value_type const& database : configuration.databases()) {
        text += static_cast<std::string>(database.first);
        text += ':';
        bool afterPlainService = false;
        for (NSSService const& service : database.second) {
            // After a service without criteria, a module opening with "[" behind a single
            // space would read back as that service's criteria; two spaces keep it a service.
            bool const opensWithBracket = !service.module().empty() && service.module()[0] == '[';
            text += afterPlainService && opensWithBracket ? "  " : " ";
            AppendService(text, service);
            afterPlainService = service.parameters().empty();
        }
        text += '\n';
    }
    return WriteText(out, text);
}

}  // namespace SystemConfiguration
