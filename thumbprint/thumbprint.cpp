#include "thumbprint.h"

#include <openssl/evp.h>

#include <algorithm>

namespace tslthumbprint {

namespace {

char const kSeparator = ':';

int DigitValue(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    return -1;
}

}  // namespace

std::string Format(Digest const& digest) {
    static char const digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(digest.size() * 3);
    for (std::size_t i = 0; i < digest.size(); ++i) {
        if (i != 0) text += kSeparator;
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 0x0f];
    }
    return text;
}

bool Parse(std::string const& text, Digest& digest) {
    Digest parsed = {};
    if (text.size() != parsed.size() * 3 - 1) return false;
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        std::size_t const at = i * 3;
        int const high = DigitValue(text[at]);
        int const low = DigitValue(text[at + 1]);
        if (high < 0 || low < 0 || (i != 0 && text[at - 1] != kSeparator)) return false;
        parsed[i] = static_cast<unsigned char>(high << 4 | low);
    }
    digest = parsed;
    return true;
}

std::string OfCertificate(X509 const& certificate) {
    unsigned char made[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    Digest digest = {};
    if (X509_digest(&certificate, EVP_sha1(), made, &length) != 1 || length != digest.size()) {
        return "";
    }
    std::copy(made, made + length, digest.begin());
    return Format(digest);
}

bool Same(std::string const& one, std::string const& other) {
    Digest first, second;
    return Parse(one, first) && Parse(other, second) && first == second;
}

}  // namespace tslthumbprint
