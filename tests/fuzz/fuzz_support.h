#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H
#define TESTS_FUZZ_FUZZ_SUPPORT_H

// Shared by the libFuzzer targets: a failed property stops the run (libFuzzer keeps the input
// as a crash), and targets that write files get a private directory on a tmpfs of their own.

#include <authentication/configuration.h>

#include <string>
#include <vector>

namespace fuzz {

// Prints the property that failed and aborts.
[[noreturn]] void Fail(std::string const& what);

inline void Check(bool condition, std::string const& what) {
    if (!condition) Fail(what);
}

// Enters a private mount namespace (a user namespace too when not root) with a fresh tmpfs
// over /tmp, so nothing the target writes reaches the host and syncs cost nothing. Where no
// namespace can be entered, a private directory under $TMPDIR is used and removed at exit.
// Must be called from LLVMFuzzerInitialize, while the process has a single thread.
void EnterScratch();
std::string const& ScratchDirectory();

void WriteFile(std::string const& path, std::string const& content);
std::string ReadFile(std::string const& path);
std::vector<std::string> ListDirectory(std::string const& directory);  // sorted, no dot entries

// The input as a string, with its bytes shown readably for failure messages.
std::string Printable(std::string const& bytes);

// Writes a configuration bound to `path`, a file of the scratch directory whose bytes are
// `before`, and checks Write's contract: a refusal names the file and leaves it and its
// directory as they were; an accepted write leaves no temporary file and reads back as an
// equal map. Returns whether the write was accepted; `written` then holds the new bytes.
// (libFuzzer keeps the input that failed.)
bool CheckedWrite(ostrel::authentication::Configuration const& configuration,
                  std::string const& path, std::string const& before, std::string& written);

}  // namespace fuzz

#endif
