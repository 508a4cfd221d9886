#ifndef SYSTEMCONFIGURATION_NSS_CONFIGURATION_H
#define SYSTEMCONFIGURATION_NSS_CONFIGURATION_H

// Every class here is a plain value with no shared state: one thread at a time per object,
// any number of objects on any threads.

#include <systemconfiguration/export.h>

#include <cstdint>
#include <deque>
#include <exception>
#include <iosfwd>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace SystemConfiguration {

// A database word outside the table, or a database kind that has no text.
SYSTEMCONFIGURATION_EXCEPTION(InvalidDatabaseException)

// A service that cannot be written so that it reads back as itself: an empty module, a module
// holding whitespace or "[", or a criterion that is empty or holds whitespace or "]".
SYSTEMCONFIGURATION_EXCEPTION(InvalidServiceException)

// One database of the name-service switch.
class SYSTEMCONFIGURATION_EXPORT NSSDatabase {
public:
    enum Database : std::int32_t {
        Unset = 0,
        Passwd = 1,
        Group = 2,
        Shadow = 3,
        Hosts = 4,
        Netmasks = 5,
        Networks = 6,
        Protocols = 7,
        Services = 8,
        Ethers = 9,
        Rpc = 10,
        Netgroup = 11,
        Bootparams = 12,
        Publickey = 13,
        Automount = 14,
        Aliases = 15
    };

    NSSDatabase();
    NSSDatabase(Database kind);
    NSSDatabase(NSSDatabase const& other);
    // Throws InvalidDatabaseException for a word outside the table.
    NSSDatabase(std::string const& text);

    NSSDatabase& operator=(NSSDatabase const& other);
    NSSDatabase& operator=(Database kind);
    NSSDatabase& operator=(std::string const& text);

    bool operator==(NSSDatabase const& other) const { return kind == other.kind; }
    bool operator==(std::string const& text) const;
    bool operator==(Database other) const { return kind == other; }
    // Table order: passwd first, aliases last.
    bool operator<(NSSDatabase const& other) const { return kind < other.kind; }

    // Throws InvalidDatabaseException for a kind without text.
    operator std::string() const;
    operator Database() const { return kind; }

private:
    Database kind;
};

// One service of a database line with its criteria tokens.
class SYSTEMCONFIGURATION_EXPORT NSSService {
public:
    NSSService(std::string const& module);
    NSSService(NSSService const& other);
    NSSService& operator=(NSSService const& other);

    std::string const& module() const { return module_; }
    std::vector<std::string>& parameters() { return parameters_; }
    std::vector<std::string> const& parameters() const { return parameters_; }

    bool operator==(NSSService const& other) const;

private:
    std::string module_;
    std::vector<std::string> parameters_;
};

// A name-service switch file: the services of each known database, in table order, and the
// lines the model does not carry as services, word for word.
class SYSTEMCONFIGURATION_EXPORT NSSConfiguration {
public:
    typedef std::deque<NSSService> Services;
    typedef std::map<NSSDatabase, Services> Databases;
    // Each kept line with the database whose line it followed (Unset: none).
    typedef std::vector<std::pair<NSSDatabase, std::string> > KeptLines;

    NSSConfiguration();

    // The services of that database, inserted empty when missing.
    Services& operator[](NSSDatabase database);

    Databases const& databases() const { return databases_; }

    // Lines of databases outside the table (gshadow, initgroups, sudoers, ...) and lines
    // whose criteria the C library refuses; written back unchanged after the line of the
    // database they followed, so that the C library and other readers see what they saw.
    KeptLines const& keptLines() const { return keptLines_; }
    void keepLine(NSSDatabase after, std::string const& line);

private:
    Databases databases_;
    KeptLines keptLines_;
};

// Never fails on content; reads lines as the C library does. A database line replaces what
// an earlier line of that database gave (the last one counts); the colon may stand apart or
// be missing; criteria may follow their service after any blanks or none. Blank and comment
// lines are dropped; any other line that names no database of the table, or whose criteria
// the C library refuses, is kept word for word.
SYSTEMCONFIGURATION_EXPORT std::istream& operator>>(std::istream& in,
                                                    NSSConfiguration& configuration);

// Writing checks everything first and writes nothing when a database has no text
// (InvalidDatabaseException) or a service cannot be written so that it reads back as itself
// (InvalidServiceException).
SYSTEMCONFIGURATION_EXPORT std::ostream& operator<<(std::ostream& out, NSSService const& service);
SYSTEMCONFIGURATION_EXPORT std::ostream& operator<<(std::ostream& out,
                                                    NSSConfiguration const& configuration);

}  // namespace SystemConfiguration

#endif
