#include <arpa/inet.h>
#include <hostctl/hostctl_exception.h>
#include <hostctl/hosts_file.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "paths.h"
#include "system_files.h"

namespace QuorCtl {
namespace Network {

namespace {

namespace Files = HostCtl::Files;

// An address in binary form, so that differently written IPv6 addresses compare equal.
struct Address {
    int family = 0;
    unsigned char bytes[sizeof(struct in6_addr)] = {};

    bool operator==(Address const& other) const {
        return family == other.family && std::memcmp(bytes, other.bytes, sizeof bytes) == 0;
    }
};

bool ParseAddress(std::string const& text, Address& address) {
    if (text.find('\0') != std::string::npos) return false;
    for (int family : {AF_INET, AF_INET6}) {
        if (::inet_pton(family, text.c_str(), address.bytes) == 1) {
            address.family = family;
            return true;
        }
    }
    return false;
}

// A name must stay one field of its line: no blank, control character or comment sign.
bool IsHostName(std::string const& name) {
    if (name.empty()) return false;
    for (char c : name) {
        if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f' || c == '#') return false;
    }
    return true;
}

[[noreturn]] void ThrowInvalid(char const* what, std::string const& value) {
    std::string message = std::string(what) + " '" + value + "' for '" + HostCtl::Paths::kHosts +
                          "': " + std::strerror(EINVAL);
    throw HostCtl::Lib::HostCtlException(message.c_str());
}

bool IsLineFor(std::string const& line, Address const& address) {
    std::string body = line.substr(0, line.find('#'));
    std::string::size_type start = body.find_first_not_of(" \t");
    if (start == std::string::npos) return false;
    std::string::size_type end = body.find_first_of(" \t\r\n", start);
    Address listed;
    return ParseAddress(body.substr(start, end == std::string::npos ? end : end - start), listed) &&
           listed == address;
}

// The comment at the end of a line, without the line end; empty when there is none.
std::string CommentOf(std::string const& line) {
    std::string::size_type hash = line.find('#');
    if (hash == std::string::npos) return std::string();
    std::string comment = line.substr(hash);
    comment.erase(comment.find_last_not_of(" \t\r\n") + 1);
    return comment;
}

}  // namespace

HostsFile::~HostsFile() = default;

void HostsFile::AddOrReplaceEntry(std::string const& address, std::string const& hostname,
                                  std::vector<std::string> const& aliases) {
    Address parsed;
    if (!ParseAddress(address, parsed)) ThrowInvalid("Invalid address", address);
    std::string entry = address + "\t";
    if (!IsHostName(hostname)) ThrowInvalid("Invalid host name", hostname);
    entry += hostname;
    for (std::string const& alias : aliases) {
        if (!IsHostName(alias)) ThrowInvalid("Invalid alias", alias);
        entry += " " + alias;
    }

    Files::EditLock lock(HostCtl::Paths::kHostsLock);
    std::string const target = Files::ResolveLinks(HostCtl::Paths::kHosts);
    std::string const old = Files::ReadIfPresent(target).value_or(std::string());
    std::vector<std::string> lines = Files::SplitLines(old);
    bool replaced = false;
    for (std::string& line : lines) {
        if (!IsLineFor(line, parsed)) continue;
        std::string comment = CommentOf(line);
        line = entry + (comment.empty() ? "" : " " + comment) + "\n";
        replaced = true;
        break;
    }
    if (!replaced) {
        if (!lines.empty() && lines.back().back() != '\n') lines.back() += "\n";
        lines.push_back(entry + "\n");
    }
    std::string content;
    for (std::string const& line : lines) content += line;
    if (content != old) Files::Replace(target, content);
}

}  // namespace Network
}  // namespace QuorCtl
