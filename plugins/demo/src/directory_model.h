#ifndef DEMO_DIRECTORY_DIRECTORY_MODEL_H
#define DEMO_DIRECTORY_DIRECTORY_MODEL_H

#include <cstdint>
#include <string>
#include <vector>

#include "directory_document.h"

namespace demodirectory {

// Trust relationship bits, as the directory reports them for a domain.
enum TrustRelationship : std::uint32_t {
    kTrustOutbound = 0x2,  // the joined domain trusts it: its users may log on here
    kTrustPrimary = 0x8,   // the domain the host is joined to
    kTrustInbound = 0x20,  // it trusts the joined domain
};

// The host's trust state.
enum HostTrustState : std::uint32_t {
    kTrustStateTrusted = 1,  // default of a domain's "trust-state"
    kTrustStateBroken = 3,   // joined, but the domain has no such computer account any more
    kTrustStateNotJoined = 7,
};

struct TrustRecord {
    std::string dnsName;
    std::string netbiosName;
    std::uint32_t relationship;
};

struct JoinAccountRecord {
    std::string name;
    std::string password;
    unsigned badPasswords;  // wrong passwords in a row, counted under a lockout threshold
};

struct ComputerRecord {
    std::string name;
    std::string password;
    std::string distinguishedName;
};

struct DomainRecord {
    std::string dnsName;
    std::string netbiosName;
    std::string sid;
    std::vector<std::string> controllers;
    std::string defaultContainer;
    std::uint32_t trustState;
    std::vector<TrustRecord> trusts;
    std::vector<JoinAccountRecord> joinAccounts;
    std::vector<ComputerRecord> computers;
    unsigned lockoutThreshold;  // wrong passwords that lock a join account out; 0: never
    unsigned busyJoins;         // joins still to be answered "busy, try again"

    // By name, without regard to case; null when there is none.
    ComputerRecord const* FindComputer(std::string const& name) const;
    ComputerRecord const* FindComputerByDN(std::string const& distinguishedName) const;
    // "user", "NETBIOS\user" or "user@dns.name" naming one of the join accounts.
    JoinAccountRecord const* FindJoinAccount(std::string const& userName) const;
    // A trusted domain by DNS or NetBIOS name.
    TrustRecord const* FindTrust(std::string const& name) const;
};

struct HostRecord {
    std::string domain;  // DNS name of the joined domain; empty when not joined
    std::string machineAccount;
    std::vector<std::string> preferredControllers;
    std::vector<std::string> smartCardServices;
};

struct ProxyRecord {
    bool present = false;
    std::string address;
    std::string domain;
    std::string certificate;
};

// The validated content of the directory file.
struct Directory {
    bool unresponsive = false;
    std::vector<DomainRecord> domains;
    HostRecord host;
    ProxyRecord proxy;

    // Throws Failure(kInternalError) naming `path` and the line of the first fault.
    static Directory From(DirectoryDocument const& document, std::string const& path);

    // By DNS or NetBIOS name, without regard to case; null when unknown.
    DomainRecord const* FindDomain(std::string const& name) const;
    // Null when the host is not joined.
    DomainRecord const* JoinedDomain() const;
    std::uint32_t TrustState() const;
};

}  // namespace demodirectory

#endif
