#include "generated_files.h"

#include <cstdio>

namespace bench {

char const kAccessModule[] = "/lib/security/$ISA/pam_access.so";
char const kProviderModule[] = "/lib/security/$ISA/pam_bench.so";
char const kProviderParameter[] = "try_first_pass";
char const kProviderNSSModule[] = "bench";

namespace {

char const* const kFacilities[] = {"account", "auth", "password", "session"};
char const* const kModules[] = {"pam_unix.so",    "pam_env.so",     "pam_limits.so",
                                "pam_deny.so",    "pam_permit.so",  "pam_faillock.so",
                                "pam_keyinit.so", "pam_loginuid.so"};
char const* const kControls[] = {"required", "requisite", "sufficient", "optional"};
char const* const kDatabases[] = {"passwd",   "group",      "shadow",    "hosts",     "netmasks",
                                  "networks", "protocols",  "services",  "ethers",    "rpc",
                                  "netgroup", "bootparams", "publickey", "automount", "aliases"};

std::string Thumbprint(unsigned seed) {
    std::string text;
    for (int i = 0; i < 20; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X", (seed * 2654435761u + i * 40503u) >> 24);
        if (i > 0) text += ':';
        text += pair;
    }
    return text;
}

}  // namespace

std::string TypicalPAMFile() {
    return "#%PAM-1.0\n"
           "account\trequired\t/lib/security/$ISA/pam_access.so\taccessfile=/etc/security/"
           "access.conf listsep=,\n"
           "account\trequired\t/lib/security/$ISA/pam_unix.so\tbroken_shadow\n"
           "account\tsufficient\t/lib/security/$ISA/pam_localuser.so\n"
           "account\trequired\t/lib/security/$ISA/pam_permit.so\n"
           "auth\trequired\t/lib/security/$ISA/pam_env.so\n"
           "auth\trequired\t/lib/security/$ISA/pam_faillock.so\tpreauth deny=5 "
           "unlock_time=900\n"
           "auth\trequired\t/lib/security/$ISA/pam_access.so\n"
           "auth\t[success=1 default=ignore]\t/lib/security/$ISA/pam_unix.so\tnullok "
           "try_first_pass\n"
           "auth\trequisite\t/lib/security/$ISA/pam_deny.so\n"
           "auth\trequired\t/lib/security/$ISA/pam_permit.so\n"
           "password\trequisite\t/lib/security/$ISA/pam_passwdqc.so\tmin=8,8,8,7,6 "
           "similar=deny retry=3\n"
           "password\tsufficient\t/lib/security/$ISA/pam_unix.so\tuse_authtok nullok shadow "
           "sha512\n"
           "password\trequired\t/lib/security/$ISA/pam_deny.so\n"
           "session\toptional\t/lib/security/$ISA/pam_keyinit.so\trevoke\n"
           "session\trequired\t/lib/security/$ISA/pam_limits.so\n"
           "session\trequired\t/lib/security/$ISA/pam_unix.so\n"
           "session\toptional\t/lib/security/$ISA/pam_loginuid.so\n"
           "session\trequired\t/lib/security/$ISA/pam_lastlog.so\tsilent\n"
           "session\toptional\t/lib/security/$ISA/pam_motd.so\n"
           "session\trequired\t/lib/security/$ISA/pam_permit.so\n";
}

std::string LargePAMFile(std::size_t statements) {
    std::string text = "#%PAM-1.0\n";
    std::size_t const perFacility = statements / 4;
    std::size_t number = 0;
    for (int f = 0; f < 4; ++f) {
        std::size_t const count = f < 3 ? perFacility : statements - 3 * perFacility;
        for (std::size_t i = 0; i < count; ++i, ++number) {
            text += kFacilities[f];
            text += '\t';
            if (i == 0 && f < 2) {
                text += "required\t";
                text += kAccessModule;
                text += '\n';
                continue;
            }
            text += number % 10 == 0 ? "[success=1 default=ignore]" : kControls[number % 4];
            text += "\t/lib/security/$ISA/";
            text += kModules[number % 8];
            text += "\tnumber=" + std::to_string(number);
            if (number % 3 == 0) text += " nullok try_first_pass";
            text += '\n';
        }
    }
    return text;
}

std::string TypicalNSSFile() {
    return "# /etc/nsswitch.conf\n"
           "#\n"
           "# Name service switch configuration of this host.\n"
           "\n"
           "passwd:         files\n"
           "group:          files\n"
           "shadow:         files\n"
           "hosts:          files mdns4_minimal [NOTFOUND=return] dns\n"
           "networks:       files\n"
           "\n"
           "protocols:      db files\n"
           "services:       db files\n"
           "ethers:         db files\n"
           "rpc:            db files\n"
           "\n"
           "netgroup:       nis\n";
}

std::string LargeNSSFile(std::size_t lines) {
    std::string text;
    for (std::size_t i = 0; i < lines; ++i) {
        if (i % 25 == 0) {
            text += "# block " + std::to_string(i / 25) + "\n";
            continue;
        }
        text += kDatabases[i % 15];
        text += ":\tfiles module" + std::to_string(i % 7);
        if (i % 5 == 0) text += " [NOTFOUND=return]";
        text += " dns\n";
    }
    return text;
}

std::string KeyValueFile(std::size_t entries) {
    static char const* const kKnown[] = {"remote-authentication-store = \"None\"\n",
                                         "provider = \"bench\"\n", "cache-timeout = 60\n",
                                         "log-level = 'info'\n", "retries = 8\n"};
    std::string text;
    for (std::size_t i = 0; i < entries; ++i) {
        if (i < 5) {
            text += kKnown[i];
        } else {
            text += "key-" + std::to_string(i) + " = \"value number " + std::to_string(i) + "\"\n";
        }
    }
    return text;
}

std::string ThumbprintFile(std::size_t servers) {
    std::string text;
    for (std::size_t i = 0; i < servers; ++i) {
        text += "10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." +
                std::to_string(i & 255) + " = " + Thumbprint(static_cast<unsigned>(i)) + "\n";
    }
    return text;
}

std::string NewThumbprint(unsigned seed) {
    return Thumbprint(0x80000000u + seed);
}

std::size_t CountLines(std::string const& text) {
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n';
    if (!text.empty() && text[text.size() - 1] != '\n') ++lines;
    return lines;
}

}  // namespace bench
