#include "host_state.h"

#include <fcntl.h>
#include <tdb.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "member_config.h"

namespace sambaprovider {

std::string AccountNameForHost() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    std::string shortName(name, strcspn(name, "."));
    if (shortName.empty() || shortName.size() > 15) return "";
    for (char c : shortName) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return "";
    }
    return Upper(shortName);
}

namespace {
// tdb refuses to open a file that the same process already has open: two threads reading
// the secrets at once would each see the other's open as "no secrets".
std::mutex secretsLock;
}  // namespace

bool HoldsMachineSecret(std::string const& workgroup) {
    if (workgroup.empty()) return false;
    std::lock_guard<std::mutex> hold(secretsLock);
    TDB_CONTEXT* tdb = tdb_open(kSecretsFile, 0, TDB_DEFAULT, O_RDONLY, 0);
    if (tdb == nullptr) return false;
    std::string key = "SECRETS/MACHINE_PASSWORD/" + Upper(workgroup);
    TDB_DATA data = {reinterpret_cast<unsigned char*>(&key[0]), key.size()};
    bool holds = tdb_exists(tdb, data) != 0;
    tdb_close(tdb);
    return holds;
}

std::string ReadMachineSecret(std::string const& key) {
    std::lock_guard<std::mutex> hold(secretsLock);
    TDB_CONTEXT* tdb = tdb_open(kSecretsFile, 0, TDB_DEFAULT, O_RDONLY, 0);
    if (tdb == nullptr) return "";
    std::string name = key;
    TDB_DATA data = tdb_fetch(tdb, {reinterpret_cast<unsigned char*>(&name[0]), name.size()});
    tdb_close(tdb);
    if (data.dptr == nullptr) return "";
    std::string value(reinterpret_cast<char*>(data.dptr), data.dsize);
    free(data.dptr);
    if (!value.empty() && value.back() == '\0') value.pop_back();
    return value;
}

std::string StripBackslashes(char const* name) {
    std::string const text = name != nullptr ? name : "";
    std::size_t const first = text.find_first_not_of('\\');
    return first == std::string::npos ? std::string() : text.substr(first);
}

std::string DomainDN(std::string const& dnsDomain) {
    std::string dn;
    std::size_t begin = 0;
    while (begin <= dnsDomain.size()) {
        std::size_t end = dnsDomain.find('.', begin);
        if (end == std::string::npos) end = dnsDomain.size();
        if (end > begin) dn += (dn.empty() ? "DC=" : ",DC=") + dnsDomain.substr(begin, end - begin);
        begin = end + 1;
    }
    return dn;
}

std::string CompleteContainer(std::string const& container, std::string const& dnsDomain) {
    if (container.find('=') == std::string::npos) return container;
    if (Lower(container).find("dc=") != std::string::npos) return container;
    return container + "," + DomainDN(dnsDomain);
}

}  // namespace sambaprovider
