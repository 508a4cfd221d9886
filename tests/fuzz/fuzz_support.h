#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H
#define TESTS_FUZZ_FUZZ_SUPPORT_H

// Shared by the libFuzzer targets: a failed property stops the run (libFuzzer keeps the input
// as a crash), and targets that write files do so in the tests' private host.

#include <authentication/configuration.h>

#include <string>

#include "private_host.h"

namespace fuzz {

// Prints the property that failed and aborts.
[[noreturn]] void Fail(std::string const& what);

inline void Check(bool condition, std::string const& what) {
    if (!condition) Fail(what);
}

// Enters the sandbox (private_host.h), whose scratch tmpfs holds what the targets write; a
// failing file helper then aborts. Call from LLVMFuzzerInitialize, while the process has a
// single thread.
void EnterScratch();
using sandbox::ListDirectory;
using sandbox::ReadFile;
using sandbox::ScratchDirectory;
using sandbox::WriteFile;

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
