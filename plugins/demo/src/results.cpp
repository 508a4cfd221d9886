#include "results.h"

#include <cstring>
#include <new>

namespace demodirectory {

OwnedString CopyString(std::string const& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return OwnedString(copy);
}

char** CopyStrings(std::vector<std::string> const& texts) {
    char** array = static_cast<char**>(std::calloc(texts.size() + 1, sizeof(char*)));
    if (array == nullptr) throw std::bad_alloc();
    try {
        for (std::size_t i = 0; i < texts.size(); ++i) array[i] = CopyString(texts[i]).release();
    } catch (...) {
        FreeStrings(array);
        throw;
    }
    return array;
}

ADDomainNames** CopyDomainNames(std::vector<std::pair<std::string, std::string> > const& names) {
    ADDomainNames** array =
        static_cast<ADDomainNames**>(std::calloc(names.size() + 1, sizeof(ADDomainNames*)));
    if (array == nullptr) throw std::bad_alloc();
    try {
        for (std::size_t i = 0; i < names.size(); ++i) {
            array[i] = static_cast<ADDomainNames*>(std::calloc(1, sizeof(ADDomainNames)));
            if (array[i] == nullptr) throw std::bad_alloc();
            array[i]->dnsName = CopyString(names[i].first).release();
            array[i]->netbiosName = CopyString(names[i].second).release();
        }
    } catch (...) {
        FreeDomainNames(array);
        throw;
    }
    return array;
}

void FreeString(void* string) {
    std::free(string);
}

void FreeStrings(void* array) {
    if (array == nullptr) return;
    for (char** entry = static_cast<char**>(array); *entry != nullptr; ++entry) std::free(*entry);
    std::free(array);
}

void FreeDomainNames(void* array) {
    if (array == nullptr) return;
    for (ADDomainNames** entry = static_cast<ADDomainNames**>(array); *entry != nullptr; ++entry) {
        std::free((*entry)->dnsName);
        std::free((*entry)->netbiosName);
        std::free(*entry);
    }
    std::free(array);
}

}  // namespace demodirectory
