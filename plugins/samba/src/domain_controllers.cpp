#include "domain_controllers.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>
#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <exception>

#include "member_config.h"

namespace sambaprovider {

namespace {

// One query of `type` for `name`: its answer records' data, each with its message for
// names compressed in it.
template <typename Each>
void Query(res_state state, std::string const& name, ns_type type, Each each) {
    unsigned char reply[4096];
    int const length = res_nquery(state, name.c_str(), ns_c_in, type, reply, sizeof reply);
    if (length <= 0) return;
    ns_msg message;
    if (ns_initparse(reply, length, &message) != 0) return;
    for (int i = 0; i < ns_msg_count(message, ns_s_an); ++i) {
        ns_rr record;
        if (ns_parserr(&message, ns_s_an, i, &record) != 0) continue;
        if (ns_rr_type(record) != type) continue;
        each(message, record);
    }
}

}  // namespace

std::vector<std::string> DomainControllerAddresses(std::string const& dnsDomain) {
    std::vector<std::string> addresses;
    struct __res_state state;
    std::memset(&state, 0, sizeof state);
    if (res_ninit(&state) != 0) return addresses;
    // Two seconds per server and query, one try: the DC has just answered the join.
    state.retrans = 2;
    state.retry = 1;
    std::vector<std::pair<unsigned, std::string> > targets;
    Query(&state, "_ldap._tcp.dc._msdcs." + dnsDomain, ns_t_srv,
          [&](ns_msg const& message, ns_rr const& record) {
              if (ns_rr_rdlen(record) < 7) return;
              unsigned char const* data = ns_rr_rdata(record);
              char target[NS_MAXDNAME];
              if (dn_expand(ns_msg_base(message), ns_msg_end(message), data + 6, target,
                            sizeof target) < 0) {
                  return;
              }
              targets.emplace_back(ns_get16(data), target);
          });
    std::stable_sort(targets.begin(), targets.end(),
                     [](auto const& a, auto const& b) { return a.first < b.first; });
    for (auto const& target : targets) {
        for (ns_type type : {ns_t_a, ns_t_aaaa}) {
            Query(&state, target.second, type, [&](ns_msg const&, ns_rr const& record) {
                char text[INET6_ADDRSTRLEN];
                int const family = type == ns_t_a ? AF_INET : AF_INET6;
                if (ns_rr_rdlen(record) != (type == ns_t_a ? 4 : 16) ||
                    inet_ntop(family, ns_rr_rdata(record), text, sizeof text) == nullptr) {
                    return;
                }
                if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
                    addresses.push_back(text);
                }
            });
        }
    }
    res_nclose(&state);
    return addresses;
}

void RecordDomainControllers() {
    try {
        ConfigLock lock;
        MemberConfig config = ReadMemberConfig();
        if (!config.IsMember() || !config.passwordServers.empty()) return;
        std::vector<std::string> const addresses = DomainControllerAddresses(config.DnsDomain());
        if (addresses.empty() || addresses == config.domainControllers) return;
        config.domainControllers = addresses;
        WriteMemberConfig(config);
    } catch (std::exception const& error) {
        syslog(LOG_WARNING, "Samba provider: %s", error.what());
    }
}

}  // namespace sambaprovider
