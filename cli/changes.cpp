#include "changes.h"

#include <authentication/host_changes.h>

#include <iostream>

namespace tslauth {

namespace {

// The file a change line names: the word after the verb when it is a path, up to ": ".
std::string FileOf(std::string const& change) {
    std::size_t const blank = change.find(' ');
    if (blank == std::string::npos || change.compare(blank + 1, 1, "/") != 0) return "";
    std::size_t const end = change.find(": ", blank + 1);
    return change.substr(blank + 1, end == std::string::npos ? std::string::npos : end - blank - 1);
}

}  // namespace

void TellChanges(std::vector<std::string> const& changes) {
    for (std::string const& change : changes) std::cerr << "tslauth: changed: " << change << "\n";
}

Json ChangesJson(std::vector<std::string> const& changes,
                 ostrel::authentication::HostnameRepair const* repair) {
    Json out = Json::array();
    for (std::string const& change : changes) {
        std::string const file = FileOf(change);
        Json entry = {{"change", change}};
        if (!file.empty()) entry["file"] = file;
        if (repair != nullptr && file == "/etc/resolv.conf" && !repair->searchDomainAdded.empty()) {
            entry["search_domain_added"] = repair->searchDomainAdded;
        }
        if (repair != nullptr && file == "/etc/hosts" && !repair->hostsEntry.empty()) {
            entry["line"] = repair->hostsEntry;
        }
        out.push_back(entry);
    }
    return out;
}

std::vector<std::string> RunChangingHost(bool json, std::function<void()> const& operation,
                                         std::function<void()> const& first,
                                         ostrel::authentication::HostnameRepair const* repair) {
    try {
        operation();
    } catch (...) {
        if (first) first();
        std::vector<std::string> const changes = ostrel::authentication::GetLastHostChanges();
        TellChanges(changes);
        if (json) std::cout << JsonText({{"changes", ChangesJson(changes, repair)}}) << "\n";
        throw;
    }
    if (first) first();
    std::vector<std::string> changes = ostrel::authentication::GetLastHostChanges();
    TellChanges(changes);
    return changes;
}

}  // namespace tslauth
