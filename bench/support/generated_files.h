#ifndef BENCH_SUPPORT_GENERATED_FILES_H
#define BENCH_SUPPORT_GENERATED_FILES_H

// The files every benchmark and the comparison work on. Generated, so that a run needs
// nothing from the host and both sides of a comparison read the same bytes.

#include <cstddef>
#include <string>

namespace bench {

// Where the activation's edit goes: after this module, in auth and account.
extern char const kAccessModule[];
// The entry the edit adds: "sufficient", this module, "try_first_pass".
extern char const kProviderModule[];
extern char const kProviderParameter[];
// The service the name-service edit appends to passwd and group.
extern char const kProviderNSSModule[];

// A service file of 20 statements in the four facilities, one with a bracketed control.
std::string TypicalPAMFile();
// `statements` statements, a quarter per facility, every tenth with a bracketed control; the
// auth and account stacks open with the access module.
std::string LargePAMFile(std::size_t statements);

// A name-service switch file of 10 databases with a comment header and one reaction.
std::string TypicalNSSFile();
// `lines` lines cycling through the 15 known databases, every 25th a comment.
std::string LargeNSSFile(std::size_t lines);

// "key = value" lines; the first ones are the keys a real configuration has.
std::string KeyValueFile(std::size_t entries);
// `servers` IPv4 addresses, each with a SHA-1 thumbprint text.
std::string ThumbprintFile(std::size_t servers);
// A thumbprint text that ThumbprintFile does not use.
std::string NewThumbprint(unsigned seed);

// Lines of a text, the last one counted also without a line end.
std::size_t CountLines(std::string const& text);

}  // namespace bench

#endif
