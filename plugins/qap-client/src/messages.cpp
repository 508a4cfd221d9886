#include "messages.h"

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

#include "failure.h"

namespace qapclient {

namespace {

using nlohmann::json;

std::size_t const kLoggedMessageBytes = 200;

[[noreturn]] void Malformed(std::string const& where, std::string const& what) {
    throw Failure(kMalformedAnswer, where + ": malformed answer: " + what);
}

// The JSON object of an answer; `discarded` when the body is not JSON.
json ParseObject(Answer const& answer, std::string const& where) {
    json value = json::parse(answer.body, nullptr, false);
    if (value.is_discarded() || !value.is_object()) {
        Malformed(where, "HTTP " + std::to_string(answer.httpStatus) + " without a JSON object");
    }
    return value;
}

// A refusal carries the status the service gives for it; the message only goes to the log.
[[noreturn]] void ThrowRefusal(Answer const& answer) {
    std::string const& where = answer.where;
    if (answer.httpStatus >= 200 && answer.httpStatus < 300) {
        Malformed(where, "HTTP " + std::to_string(answer.httpStatus));
    }
    json const value = ParseObject(answer, where);
    json::const_iterator const status = value.find("status");
    if (status == value.end() || !status->is_number_unsigned() ||
        status->get<std::uint64_t>() == 0 ||
        status->get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max()) {
        Malformed(where, "HTTP " + std::to_string(answer.httpStatus) + " without a status");
    }
    std::string message;
    json::const_iterator const text = value.find("message");
    // Only the start of a long message reaches the log.
    if (text != value.end() && text->is_string()) {
        message = ": " + text->get<std::string>().substr(0, kLoggedMessageBytes);
    }
    std::uint32_t const code = static_cast<std::uint32_t>(status->get<std::uint64_t>());
    throw Failure(code, where + ": refused with HTTP " + std::to_string(answer.httpStatus) +
                            ", status " + std::to_string(code) + message);
}

// A member that must be a non-empty string the library can take as a C string.
std::string Member(json const& value, char const* name, std::string const& where) {
    json::const_iterator const member = value.find(name);
    if (member == value.end() || !member->is_string()) {
        Malformed(where, std::string("no string \"") + name + "\"");
    }
    std::string text = member->get<std::string>();
    if (text.empty() || text.find('\0') != std::string::npos) {
        Malformed(where, std::string("\"") + name + "\" is empty or holds a NUL");
    }
    return text;
}

}  // namespace

std::string MachineAccountRequest(char const* hostName, char const* container) {
    json body = json::object();
    body["host_name"] = hostName;
    if (container != nullptr) body["container"] = container;
    try {
        return body.dump();
    } catch (json::exception const&) {
        throw Failure(kInvalidParameter, "the host name or container is not UTF-8");
    }
}

DomainInfo ReadDomainInfo(Answer const& answer) {
    std::string const& where = answer.where;
    if (answer.httpStatus != 200) ThrowRefusal(answer);
    json const value = ParseObject(answer, where);
    DomainInfo info;
    info.netbiosName = Member(value, "netbios_name", where);
    info.dnsName = Member(value, "dns_name", where);
    info.sid = Member(value, "sid", where);
    return info;
}

MachineAccount ReadMachineAccount(Answer const& answer) {
    std::string const& where = answer.where;
    if (answer.httpStatus != 201) ThrowRefusal(answer);
    json const value = ParseObject(answer, where);
    MachineAccount account;
    account.account = Member(value, "account", where);
    account.provisioning = Member(value, "provisioning", where);
    return account;
}

}  // namespace qapclient
