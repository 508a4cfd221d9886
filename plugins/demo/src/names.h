#ifndef DEMO_DIRECTORY_NAMES_H
#define DEMO_DIRECTORY_NAMES_H

#include <string>
#include <vector>

namespace demodirectory {

struct DomainRecord;

// Directory names compare without regard to case, as a directory does.
bool EqualNoCase(std::string const& a, std::string const& b);
std::string Upper(std::string text);
std::string Trim(std::string const& text);
// Words separated by blanks (spaces and tabs).
std::vector<std::string> Words(std::string const& text);
std::string JoinWords(std::vector<std::string> const& words);
// The first word, and the text after it with the blanks between removed.
std::pair<std::string, std::string> SplitFirstWord(std::string const& text);

// The computer account name for a host name: the part before the first ".", upper case.
// Fails with kInvalidComputerName unless it is 1 to 15 letters, digits and hyphens (the NetBIOS
// limit; a longer name is refused rather than cut, so that two hosts never share an account).
std::string AccountNameFor(std::string const& hostName);
// This host's name as the system reports it.
std::string LocalHostName();

// "DC=corp,DC=example" for "corp.example".
std::string DomainDistinguishedName(std::string const& dnsName);
// The distinguished name of a computer container of the domain: the domain's default when
// `container` is null or empty; a relative name ("OU=Hosts") gets the domain's name appended;
// a path ("Hosts/Linux") becomes "OU=Linux,OU=Hosts". Fails with kInvalidContainer when the
// text is neither.
std::string ContainerDistinguishedName(char const* container, DomainRecord const& domain);
// The value of a leading "CN=" component, or empty.
std::string CommonName(std::string const& distinguishedName);

// A fresh machine-account password: 32 hexadecimal digits from the kernel's random source.
std::string RandomPassword();

}  // namespace demodirectory

#endif
