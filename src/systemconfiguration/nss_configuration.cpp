#include <systemconfiguration/nss_configuration.h>

#include <algorithm>
#include <istream>
#include <ostream>
#include <string_view>
#include <utility>

#include "model_text.h"

namespace SystemConfiguration {

namespace {

using text::ContainsSpace;
using text::FindText;
using text::IsSpace;
using text::Word;
using text::WriteText;

constexpr Word kDatabaseWords[] = {
    {NSSDatabase::Passwd, "passwd"},       {NSSDatabase::Group, "group"},
    {NSSDatabase::Shadow, "shadow"},       {NSSDatabase::Hosts, "hosts"},
    {NSSDatabase::Netmasks, "netmasks"},   {NSSDatabase::Networks, "networks"},
    {NSSDatabase::Protocols, "protocols"}, {NSSDatabase::Services, "services"},
    {NSSDatabase::Ethers, "ethers"},       {NSSDatabase::Rpc, "rpc"},
    {NSSDatabase::Netgroup, "netgroup"},   {NSSDatabase::Bootparams, "bootparams"},
    {NSSDatabase::Publickey, "publickey"}, {NSSDatabase::Automount, "automount"},
    {NSSDatabase::Aliases, "aliases"}};

Word const* FindWord(std::string_view text) {
    return FindText(kDatabaseWords, text);
}

NSSDatabase::Database ParseDatabase(std::string const& text) {
    Word const* word = FindWord(text);
    if (!word) throw InvalidDatabaseException("Invalid Database: " + text);
    return static_cast<NSSDatabase::Database>(word->kind);
}

bool EqualsIgnoringCase(std::string_view text, std::string::size_type first,
                        std::string::size_type last, char const* word) {
    std::string::size_type i = first;
    for (; i < last && *word; ++i, ++word) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != *word) return false;
    }
    return i == last && !*word;
}

// The end of a word of a criterion: the C library stops at whitespace, "=" and "]".
std::string::size_type WordEnd(std::string_view line, std::string::size_type pos) {
    while (pos < line.size() && !IsSpace(line[pos]) && line[pos] != '=' && line[pos] != ']') {
        ++pos;
    }
    return pos;
}

void SkipSpace(std::string_view line, std::string::size_type& pos) {
    while (pos < line.size() && IsSpace(line[pos])) ++pos;
}

// The criteria after "[" at pos, as the C library reads them, each as "[!]STATUS=ACTION" in
// the file's spelling; pos ends after "]". False where the C library refuses the criteria,
// which makes it refuse the whole file.
bool ReadCriteria(std::string_view line, std::string::size_type& pos,
                  std::vector<std::string>& criteria) {
    ++pos;
    SkipSpace(line, pos);
    do {
        std::string criterion;
        if (pos < line.size() && line[pos] == '!') {
            criterion += '!';
            ++pos;
        }
        std::string::size_type first = pos;
        pos = WordEnd(line, pos);
        if (!EqualsIgnoringCase(line, first, pos, "SUCCESS") &&
            !EqualsIgnoringCase(line, first, pos, "NOTFOUND") &&
            !EqualsIgnoringCase(line, first, pos, "UNAVAIL") &&
            !EqualsIgnoringCase(line, first, pos, "TRYAGAIN")) {
            return false;
        }
        criterion.append(line.data() + first, pos - first);
        SkipSpace(line, pos);
        if (pos == line.size() || line[pos] != '=') return false;
        ++pos;
        SkipSpace(line, pos);
        first = pos;
        pos = WordEnd(line, pos);
        if (!EqualsIgnoringCase(line, first, pos, "RETURN") &&
            !EqualsIgnoringCase(line, first, pos, "CONTINUE") &&
            !EqualsIgnoringCase(line, first, pos, "MERGE")) {
            return false;
        }
        criterion += '=';
        criterion.append(line.data() + first, pos - first);
        criteria.push_back(std::move(criterion));
        SkipSpace(line, pos);
    } while (pos < line.size() && line[pos] != ']');
    if (pos == line.size()) return false;
    ++pos;
    return true;
}

// The services of the rest of a database line, as the C library reads them: a service runs
// to whitespace or "[", and a "[" where a service would start ends the list. False where the
// C library refuses the line.
bool ReadServices(std::string_view line, std::string::size_type pos,
                  NSSConfiguration::Services& services) {
    for (;;) {
        SkipSpace(line, pos);
        std::string::size_type const first = pos;
        while (pos < line.size() && !IsSpace(line[pos]) && line[pos] != '[') ++pos;
        if (pos == first) return true;
        NSSService& service = services.emplace_back(std::string(line.substr(first, pos - first)));
        SkipSpace(line, pos);
        if (pos < line.size() && line[pos] == '[' &&
            !ReadCriteria(line, pos, service.parameters())) {
            return false;
        }
    }
}

// One line; `after` is the database of the last line the model carried, updated here.
// `services` is scratch space, empty on entry and on return.
void ReadLine(NSSConfiguration& configuration, std::string const& raw, NSSDatabase& after,
              NSSConfiguration::Services& services) {
    typedef std::string::size_type Size;
    // The C library reads the line as a C string.
    std::string_view const line(raw.data(), std::min(raw.find('\0'), raw.size()));
    Size pos = 0;
    SkipSpace(line, pos);
    if (pos == line.size() || line[pos] == '#') return;
    Size const first = pos;
    while (pos < line.size() && !IsSpace(line[pos]) && line[pos] != ':') ++pos;
    Word const* database = FindWord(line.substr(first, pos - first));
    if (!database || pos == first) {
        configuration.keepLine(after, raw);
        return;
    }
    while (pos < line.size() && (IsSpace(line[pos]) || line[pos] == ':')) ++pos;
    NSSDatabase const kind(static_cast<NSSDatabase::Database>(database->kind));
    bool const read = ReadServices(line, pos, services);
    if (read) {
        // What an earlier line of the database gave is replaced, and its storage kept for the
        // next line.
        configuration[kind].swap(services);
        after = kind;
    }
    services.clear();
    if (!read) configuration.keepLine(after, raw);
}

void CheckService(NSSService const& service) {
    std::string const& module = service.module();
    if (module.empty()) throw InvalidServiceException("Invalid Service: the module is empty");
    if (ContainsSpace(module)) {
        throw InvalidServiceException("Invalid Service: the module '" + module +
                                      "' contains whitespace");
    }
    // The C library ends a service's name at "[", where its criteria begin.
    if (module.find('[') != std::string::npos) {
        throw InvalidServiceException("Invalid Service: the module '" + module + "' contains '['");
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

}  // namespace

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

void NSSConfiguration::keepLine(NSSDatabase after, std::string const& line) {
    keptLines_.emplace_back(after, line);
}

std::istream& operator>>(std::istream& in, NSSConfiguration& configuration) {
    typedef std::istream::traits_type Traits;
    if (in.fail()) return in;
    std::string line;
    NSSDatabase after;
    NSSConfiguration::Services services;
    // Stopping when only the end is left keeps a complete read from marking the stream as
    // failed; a stream that breaks while reading still stops the loop.
    while (!in.eof() && !Traits::eq_int_type(in.peek(), Traits::eof()) && std::getline(in, line)) {
        ReadLine(configuration, line, after, services);
    }
    return in;
}

std::ostream& operator<<(std::ostream& out, NSSService const& service) {
    std::string text;
    AppendService(text, service);
    return WriteText(out, text);
}

std::ostream& operator<<(std::ostream& out, NSSConfiguration const& configuration) {
    typedef NSSConfiguration::KeptLines KeptLines;
    KeptLines const& kept = configuration.keptLines();
    NSSConfiguration::Databases const& databases = configuration.databases();
    // Each kept line goes after the line of the database it followed, but never before a
    // kept line that came before it: their order decides which line of a database counts.
    std::vector<NSSDatabase> placed;
    NSSDatabase current;
    for (KeptLines::value_type const& line : kept) {
        if (databases.count(line.first) != 0 && current < line.first) current = line.first;
        placed.push_back(current);
    }
    auto const keptAfter = [&](std::string& text, NSSDatabase const& database) {
        for (KeptLines::size_type i = 0; i < kept.size(); ++i) {
            if (!(placed[i] == database)) continue;
            text += kept[i].second;
            text += '\n';
        }
    };
    // About the written length, so that the text is assembled in one allocation.
    std::string::size_type size = 0;
    for (KeptLines::value_type const& line : kept) size += line.second.size() + 1;
    for (NSSConfiguration::Databases::value_type const& database : databases) {
        size += 16;
        for (NSSService const& service : database.second) {
            size += service.module().size() + 3;
            for (std::string const& parameter : service.parameters()) size += parameter.size() + 1;
        }
    }
    std::string text;
    text.reserve(size);
    keptAfter(text, NSSDatabase());
    for (NSSConfiguration::Databases::value_type const& database : databases) {
        Word const* name = text::FindKind(kDatabaseWords, database.first);
        if (name == nullptr) static_cast<void>(static_cast<std::string>(database.first));  // throws
        text += name->text;
        text += ':';
        for (NSSService const& service : database.second) {
            text += ' ';
            AppendService(text, service);
        }
        text += '\n';
        keptAfter(text, database.first);
    }
    return WriteText(out, text);
}

}  // namespace SystemConfiguration
