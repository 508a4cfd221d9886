#include "plugin_results.h"

#include <cstring>

namespace pluginresults {

char* CopyString(std::string const& text) noexcept {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

char** CopyStrings(std::vector<std::string> const& texts) noexcept {
    char** array = static_cast<char**>(std::calloc(texts.size() + 1, sizeof(char*)));
    if (array == nullptr) return nullptr;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if ((array[i] = CopyString(texts[i])) == nullptr) {
            FreeStrings(array);
            return nullptr;
        }
    }
    return array;
}

ADDomainNames** CopyDomainNames(
    std::vector<std::pair<std::string, std::string> > const& names) noexcept {
    auto array = static_cast<ADDomainNames**>(std::calloc(names.size() + 1, sizeof(void*)));
    if (array == nullptr) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto entry = static_cast<ADDomainNames*>(std::calloc(1, sizeof(ADDomainNames)));
        array[i] = entry;
        if (entry == nullptr || (entry->dnsName = CopyString(names[i].first)) == nullptr ||
            (entry->netbiosName = CopyString(names[i].second)) == nullptr) {
            FreeDomainNames(array);
            return nullptr;
        }
    }
    return array;
}

void FreeString(void* string) noexcept {
    std::free(string);
}

void FreeStrings(void* array) noexcept {
    if (array == nullptr) return;
    for (char** entry = static_cast<char**>(array); *entry != nullptr; ++entry) std::free(*entry);
    std::free(array);
}

void FreeDomainNames(void* array) noexcept {
    if (array == nullptr) return;
    for (auto entry = static_cast<ADDomainNames**>(array); *entry != nullptr; ++entry) {
        std::free((*entry)->dnsName);
        std::free((*entry)->netbiosName);
        std::free(*entry);
    }
    std::free(array);
}

}  // namespace pluginresults
