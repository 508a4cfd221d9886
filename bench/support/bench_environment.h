#ifndef BENCH_SUPPORT_BENCH_ENVIRONMENT_H
#define BENCH_SUPPORT_BENCH_ENVIRONMENT_H

// The benchmarks run in the tests' private host (tests/support/private_host.h): private
// namespaces and private copies of every fixed path the library reads or writes, so that no
// benchmark ever touches the real /etc or /usr.

#include <string>

namespace bench {

// Enters private namespaces with a scratch tmpfs. Call first in main, while the process has
// one thread; exits the process when the sandbox cannot be set up.
void EnterSandbox();

// A fresh directory on the sandbox's tmpfs: where files live "with the disk taken out".
std::string MakeTmpfsDirectory(std::string const& name);

// Where the private host's PAM and configuration directories are stored.
enum class Storage {
    kTmpfs,  // the sandbox's tmpfs: no disk costs
    kDisk,   // a directory on the real disk (ext4 or whatever holds it): real fsync costs
};

// For its lifetime: private overlays over /etc and /usr/libexec, an empty /etc/pam.d and
// /etc/ostrel/tslauth (on `storage`), /usr/libexec/tslauth/lib. One at a time.
class PrivateHost {
public:
    // diskDirectory: for Storage::kDisk, a directory on the disk to measure; it is emptied.
    PrivateHost(Storage storage, std::string const& diskDirectory = std::string());
    ~PrivateHost();
    PrivateHost(PrivateHost const&) = delete;
    PrivateHost& operator=(PrivateHost const&) = delete;

    // Installs the benchmark plug-in as /usr/libexec/tslauth/lib/lib<name>.so and returns
    // that path.
    std::string InstallPlugin(std::string const& name) const;
    // provider.conf naming the plug-in, authentication.conf with "None".
    void WriteStoreConfiguration(std::string const& providerName) const;

private:
    std::string diskDirectory;
};

// The default disk directory: "bench-disk" beside the running program.
std::string DefaultDiskDirectory();

// File helpers; they throw std::runtime_error on failure.
void WriteFile(std::string const& path, std::string const& content);
// Writes, fsyncs, renames into place and fsyncs the directory, so that nothing of the
// restore is left for a later measured fsync to pay.
void WriteFileDurably(std::string const& path, std::string const& content);
std::string ReadFile(std::string const& path);

}  // namespace bench

#endif
