#include "fuzz_support.h"

#include <authentication/exceptions.h>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace fuzz {

namespace {

std::string scratch;

void WriteProcFile(char const* path, std::string const& content) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) Fail(std::string("open ") + path + ": " + std::strerror(errno));
    ssize_t written = write(fd, content.data(), content.size());
    close(fd);
    if (written != static_cast<ssize_t>(content.size())) Fail(std::string("write ") + path);
}

bool EnterNamespace() {
    uid_t uid = geteuid();
    gid_t gid = getegid();
    int flags = CLONE_NEWNS;
    if (uid != 0) flags |= CLONE_NEWUSER;
    if (unshare(flags) != 0) return false;
    if (uid != 0) {
        WriteProcFile("/proc/self/setgroups", "deny");
        WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    // Nothing mounted from here on propagates back to the host.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    return mount("tmpfs", "/tmp", "tmpfs", 0, "size=64m,mode=0700") == 0;
}

void RemoveScratch() {
    for (std::string const& name : ListDirectory(scratch)) {
        unlink((scratch + "/" + name).c_str());
    }
    rmdir(scratch.c_str());
}

}  // namespace

void Fail(std::string const& what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void EnterScratch() {
    if (!scratch.empty()) return;
    std::string base = "/tmp";
    bool const isolated = EnterNamespace();
    if (!isolated) {
        char const* tmp = std::getenv("TMPDIR");
        if (tmp != nullptr && *tmp != '\0') base = tmp;
    }
    std::string pattern = base + "/tslauth-fuzz.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) Fail("mkdtemp " + pattern + ": " + std::strerror(errno));
    scratch = name.data();
    // Inside the namespace the whole tmpfs goes with the process.
    if (!isolated) std::atexit(RemoveScratch);
}

std::string const& ScratchDirectory() {
    if (scratch.empty()) Fail("EnterScratch was not called from LLVMFuzzerInitialize");
    return scratch;
}

void WriteFile(std::string const& path, std::string const& content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Fail("create " + path + ": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t count = write(fd, content.data() + done, content.size() - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) Fail("write " + path + ": " + std::strerror(errno));
        done += static_cast<std::size_t>(count);
    }
    close(fd);
}

std::string ReadFile(std::string const& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail("open " + path + ": " + std::strerror(errno));
    std::string content;
    char buffer[8192];
    ssize_t count;
    while ((count = read(fd, buffer, sizeof buffer)) > 0) {
        content.append(buffer, static_cast<std::size_t>(count));
    }
    close(fd);
    if (count < 0) Fail("read " + path + ": " + std::strerror(errno));
    return content;
}

std::vector<std::string> ListDirectory(std::string const& directory) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) Fail("opendir " + directory + ": " + std::strerror(errno));
    std::vector<std::string> names;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::string Printable(std::string const& bytes) {
    std::string shown;
    for (unsigned char c : bytes) {
        if (c == '\\') {
            shown += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            shown += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        }
    }
    return shown;
}

bool CheckedWrite(ostrel::authentication::Configuration const& configuration,
                  std::string const& path, std::string const& before, std::string& written) {
    typedef std::map<std::string, std::string> Map;
    std::string const& directory = ScratchDirectory();
    std::vector<std::string> const listing = ListDirectory(directory);
    try {
        configuration.Write();
    } catch (ostrel::authentication::ConfigurationError const& e) {
        std::string const prefix = "Unable to write configuration '" + path + "': ";
        Check(std::string(e.what()).compare(0, prefix.size(), prefix) == 0, e.what());
        Check(ReadFile(path) == before, "a refused write changed the file");
        Check(ListDirectory(directory) == listing, "a refused write left a file");
        return false;
    }
    Check(ListDirectory(directory) == listing, "a write left a temporary file");
    written = ReadFile(path);
    ostrel::authentication::Configuration const again(path);
    Check(static_cast<Map const&>(again) == static_cast<Map const&>(configuration),
          "the written file reads back differently\nwritten: " + Printable(written));
    return true;
}

}  // namespace fuzz
