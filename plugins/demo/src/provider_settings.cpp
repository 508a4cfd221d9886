// The host's own settings. They are kept on the host, so they work whether or not the
// directory answers.
#include "answer.h"
#include "directory_file.h"
#include "names.h"
#include "provider_slots.h"

namespace demodirectory {

namespace {

// The names are kept as one line of words: each must be a non-empty word.
std::vector<std::string> NameList(char const* const* names) {
    if (names == nullptr) Refuse(kInvalidParameter);
    std::vector<std::string> list;
    for (; *names != nullptr; ++names) {
        std::string const name = *names;
        if (name.empty()) Refuse(kInvalidParameter);
        for (char c : name) {
            if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) Refuse(kInvalidParameter);
        }
        list.push_back(name);
    }
    return list;
}

void StoreHostList(std::string const& key, std::vector<std::string> const& list) {
    UpdateDirectory([&](DirectoryDocument& document, Directory const&) {
        if (list.empty()) {
            document.Remove("host", "", key);
        } else {
            document.Set("host", "", key, JoinWords(list));
        }
        return true;
    });
}

}  // namespace

ADStatus SetPreferredDomainControllers(char const* const* names) {
    return Answer("SetPreferredDomainControllers",
                  [&] { StoreHostList("preferred-controllers", NameList(names)); });
}

ADStatus SetSmartCardEnabledServices(char const* const* services) {
    return Answer("SetSmartCardEnabledServices",
                  [&] { StoreHostList("smart-card-services", NameList(services)); });
}

ADStatus GetSmartCardEnabledServices(char*** services, ADDeallocator* deallocator) {
    return Answer("GetSmartCardEnabledServices", [&] {
        if (services == nullptr || deallocator == nullptr) Refuse(kInvalidParameter);
        *services = Made(CopyStrings(ReadDirectory().host.smartCardServices));
        *deallocator = FreeStrings;
    });
}

}  // namespace demodirectory
