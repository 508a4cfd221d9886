#include <authentication/qap_thumbprint_store.h>

namespace ostrel {
namespace authentication {

QAPThumbprintStore::QAPThumbprintStore(std::string const& path) : configuration(path) {}

QAPThumbprintStore::~QAPThumbprintStore() {}

std::string QAPThumbprintStore::LookupThumbprint(std::string const& server) const {
    Configuration::const_iterator const entry = configuration.find(server);
    return entry == configuration.end() ? std::string() : entry->second;
}

void QAPThumbprintStore::ImportThumbprint(std::string const& thumbprint,
                                          std::string const& server) {
    Configuration::iterator const entry = configuration.find(server);
    if (entry == configuration.end()) {
        configuration.insert(std::make_pair(server, thumbprint));
    } else if (entry->second == thumbprint) {
        return;  // an unchanged file is left alone, modification time included
    } else {
        entry->second = thumbprint;
    }
    configuration.Write();
}

}  // namespace authentication
}  // namespace ostrel
