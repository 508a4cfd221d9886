#include "bench_environment.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "floors.h"
#include "private_host.h"

namespace bench {

namespace {

[[noreturn]] void Fail(std::string const& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void MakeDirectory(std::string const& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) Fail("mkdir " + path);
}

// Removes the regular files of a directory the benchmarks own.
void EmptyDirectory(std::string const& directory) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) Fail("opendir " + directory);
    while (struct dirent* entry = readdir(dir)) {
        std::string const path = directory + "/" + entry->d_name;
        struct stat info;
        if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) unlink(path.c_str());
    }
    closedir(dir);
}

void BindMount(std::string const& source, std::string const& target) {
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        Fail("bind " + source + " on " + target);
    }
}

}  // namespace

void EnterSandbox() {
    sandbox::EnterSandbox();
}

std::string MakeTmpfsDirectory(std::string const& name) {
    std::string const path = sandbox::ScratchDirectory() + "/" + name;
    MakeDirectory(path);
    return path;
}

PrivateHost::PrivateHost(Storage storage, std::string const& directory) {
    sandbox::MountPrivateHost();
    if (storage == Storage::kDisk) {
        diskDirectory = directory.empty() ? DefaultDiskDirectory() : directory;
        MakeDirectory(diskDirectory);
        MakeDirectory(diskDirectory + "/pam.d");
        MakeDirectory(diskDirectory + "/tslauth");
        EmptyDirectory(diskDirectory + "/pam.d");
        EmptyDirectory(diskDirectory + "/tslauth");
        // Mounted over the overlay's directories, so the files the library replaces and their
        // temporary files all lie on the disk.
        BindMount(diskDirectory + "/pam.d", "/etc/pam.d");
        BindMount(diskDirectory + "/tslauth", "/etc/ostrel/tslauth");
    }
}

PrivateHost::~PrivateHost() {
    sandbox::UnmountPrivateHost();
    if (!diskDirectory.empty()) {
        EmptyDirectory(diskDirectory + "/pam.d");
        EmptyDirectory(diskDirectory + "/tslauth");
    }
}

std::string PrivateHost::InstallPlugin(std::string const& name) const {
    std::string const path = "/usr/libexec/tslauth/lib/lib" + name + ".so";
    sandbox::WriteFile(path, sandbox::ReadFile(BENCH_PROVIDER_PLUGIN), 0755);
    return path;
}

void PrivateHost::WriteStoreConfiguration(std::string const& providerName) const {
    WriteFileDurably("/etc/ostrel/tslauth/provider.conf", "provider = " + providerName + "\n");
    WriteFileDurably("/etc/ostrel/tslauth/authentication.conf",
                     "remote-authentication-store = None\n");
}

std::string DefaultDiskDirectory() {
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) Fail("readlink /proc/self/exe");
    std::string path(self, static_cast<std::size_t>(length));
    return path.substr(0, path.rfind('/')) + "/bench-disk";
}

void WriteFile(std::string const& path, std::string const& content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) Fail("open " + path);
    bool const written =
        write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    close(fd);
    if (!written) Fail("write " + path);
}

void WriteFileDurably(std::string const& path, std::string const& content) {
    ReplaceAtomically(path, content);
}

std::string ReadFile(std::string const& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail("open " + path);
    std::string content;
    char buffer[65536];
    ssize_t count;
    while ((count = read(fd, buffer, sizeof buffer)) > 0) {
        content.append(buffer, static_cast<std::size_t>(count));
    }
    close(fd);
    if (count < 0) Fail("read " + path);
    return content;
}

}  // namespace bench
