#include <authentication/atomic_file_stream.h>
#include <authentication/configuration.h>
#include <authentication/exceptions.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "file_content.h"
#include "paths.h"

namespace ostrel {
namespace authentication {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

// Trims blanks and removes one outer pair of matching quotes. Returns false for a part that
// is a lone quote character.
bool CleanPart(std::string& part) {
    std::string::size_type first = part.find_first_not_of(" \t");
    if (first == std::string::npos) return true;  // empty or only blanks: kept as it is
    std::string::size_type last = part.find_last_not_of(" \t");
    part = part.substr(first, last - first + 1);
    if (part.size() == 1 && IsQuote(part[0])) return false;
    if (part.size() >= 2 && IsQuote(part[0]) && part[part.size() - 1] == part[0]) {
        part = part.substr(1, part.size() - 2);
    }
    return true;
}

// The library's own files hold what it trusts (which plug-in runs as root, which certificate
// a proxy must show): one that others could have written, or that is no regular file, is
// refused. Opening never waits (a FIFO put in place of one would hold it for good).
void CheckTrusted(std::string const& path, struct stat const& status) {
    std::string const directory = std::string(paths::kConfigurationDirectory) + "/";
    if (path.compare(0, directory.size(), directory) != 0) return;
    if (!S_ISREG(status.st_mode)) {
        throw ConfigurationError("'" + path + "' is not a regular file; it is not read", path);
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        std::string const refusal = "'" + path + "' has mode " + mode +
                                    ": other users may change it, so it is not read; chmod go-w " +
                                    path;
        throw ConfigurationError(refusal, path);
    }
}

std::string ReadWholeFile(std::string const& path) {
    int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw IOError("Unable to open '" + path + "': " + std::strerror(errno));
    std::string content;
    struct stat status = {};
    int error = ::fstat(fd, &status) != 0 ? errno : 0;
    try {
        if (error == 0) CheckTrusted(path, status);
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (error == 0) error = tslfiles::ReadAll(fd, content);
    ::close(fd);
    // A file that cannot be read to its end is not loaded half.
    if (error != 0) throw IOError("Unable to read '" + path + "': " + std::strerror(error));
    return content;
}

// Why an entry cannot be written so that it reads back as it is; empty when it can.
std::string UnwritableReason(std::string const& key, std::string const& value) {
    if (key.empty()) return "an empty key cannot be stored";
    std::string quoted = "the key '" + key + "' ";
    if (key.find('\n') != std::string::npos) return quoted + "contains a line feed";
    if (key.find('=') != std::string::npos) return quoted + "contains '='";
    if (IsBlank(key[0]) || IsBlank(key[key.size() - 1])) {
        return quoted + "begins or ends with a blank";
    }
    if (IsQuote(key[0]) && key[key.size() - 1] == key[0]) {
        return quoted + "begins and ends with a quote";
    }
    if (value.find('\n') != std::string::npos) {
        return "the value of the key '" + key + "' contains a line feed";
    }
    return std::string();
}

}  // namespace

std::pair<std::string, std::string> GetKeyValuePair(std::string const& line, int lineNumber) {
    std::string::size_type equals = line.find('=');
    if (equals == std::string::npos) {
        throw ConfigurationError("Error parsing configuration on line " +
                                 std::to_string(lineNumber) + ": no delimiter found");
    }
    std::pair<std::string, std::string> entry(line.substr(0, equals), line.substr(equals + 1));
    if (!CleanPart(entry.second) || !CleanPart(entry.first)) {
        throw ConfigurationError("Error parsing configuration at line " +
                                 std::to_string(lineNumber) + ": invalid quoting");
    }
    return entry;
}

Configuration::Configuration(std::string const& path) : path(path) {
    std::string content = ReadWholeFile(path);
    int lineNumber = 0;
    std::string::size_type start = 0;
    while (start < content.size()) {
        std::string::size_type end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        // The first line that names a key wins.
        try {
            insert(GetKeyValuePair(line, lineNumber));
        } catch (ConfigurationError const& refusal) {
            throw ConfigurationError(refusal.what(), path, lineNumber, line);
        }
    }
}

Configuration::~Configuration() {}

std::string const& Configuration::operator[](std::string const& key) const {
    const_iterator it = find(key);
    if (it == end()) throw InvalidKeyException(key);
    return it->second;
}

std::string& Configuration::operator[](std::string const& key) {
    iterator it = find(key);
    if (it == end()) throw InvalidKeyException(key);
    return it->second;
}

void Configuration::Write() const {
    for (const_iterator it = begin(); it != end(); ++it) {
        std::string reason = UnwritableReason(it->first, it->second);
        if (!reason.empty()) {
            throw ConfigurationError("Unable to write configuration '" + path + "': " + reason,
                                     path);
        }
    }
    std::string content;
    for (const_iterator it = begin(); it != end(); ++it) {
        content += it->first + " = \"" + it->second + "\"\n";
    }
    AtomicFileStream stream(path.c_str(), std::ios_base::out);
    stream.write(content.data(), static_cast<std::streamsize>(content.size()));
    stream.Commit();
}

AuthenticationConfiguration::AuthenticationConfiguration() : Configuration(paths::kRecordFile) {}

ProviderConfiguration::ProviderConfiguration() : Configuration(paths::kProviderFile) {}

QAPProviderConfiguration::QAPProviderConfiguration() : Configuration(paths::kQAPProviderFile) {}

}  // namespace authentication
}  // namespace ostrel
