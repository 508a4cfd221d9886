#include "private_host.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace sandbox {

namespace {

std::string scratch, hostRoot;
unsigned hostCounter = 0;
void (*failureHandler)(std::string const&) = nullptr;

[[noreturn]] void Die(std::string const& what) {
    std::fprintf(stderr, "sandbox: %s: %s; refusing to run outside the sandbox\n", what.c_str(),
                 std::strerror(errno));
    std::fflush(stderr);
    std::_Exit(1);
}

void Fail(std::string const& what) {
    std::string text = what + ": " + std::strerror(errno);
    if (failureHandler != nullptr) failureHandler(text);
    throw std::runtime_error(text);
}

// Only a single-threaded process may enter a user namespace. Under a user-mode emulator (a
// 32-bit build on a host that runs 32-bit programs only that way) the emulator's threads exist
// before main: the program runs itself again under unshare(1), mapped to root in a new user
// namespace, and goes on as for root.
[[noreturn]] void RunAgainInUserNamespace() {
    std::string const arguments = ReadFile("/proc/self/cmdline");
    char self[4096];
    ssize_t const length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) Die("readlink /proc/self/exe");
    self[length] = '\0';
    std::vector<char*> argv = {const_cast<char*>("unshare"), const_cast<char*>("--user"),
                               const_cast<char*>("--map-root-user"), const_cast<char*>("--"), self};
    for (std::size_t at = arguments.find('\0') + 1; at < arguments.size();  // past the name
         at = arguments.find('\0', at) + 1) {
        argv.push_back(const_cast<char*>(&arguments[at]));
    }
    argv.push_back(nullptr);
    std::fflush(nullptr);
    execvp(argv[0], argv.data());
    Die("exec unshare");
}

void MountOverlay(std::string const& target, std::string const& name,
                  std::string const& extraOptions = "") {
    std::string const upper = hostRoot + "/" + name + "-upper",
                      work = hostRoot + "/" + name + "-work";
    MakeDirectory(upper);
    MakeDirectory(work);
    std::string const options =
        "lowerdir=" + target + ",upperdir=" + upper + ",workdir=" + work + extraOptions;
    if (mount("overlay", target.c_str(), "overlay", 0, options.c_str()) != 0) {
        Fail("mount overlay on " + target);
    }
    struct statfs info;
    if (statfs(target.c_str(), &info) != 0 || info.f_type != 0x794c7630 /* overlayfs */) {
        Die("overlay on " + target + " did not take");
    }
}

}  // namespace

void EnterSandbox() {
    uid_t const uid = geteuid();
    gid_t const gid = getegid();
    std::string const status = uid != 0 ? ReadFile("/proc/self/status") : "";
    std::size_t const threads = status.find("\nThreads:");
    if (threads != std::string::npos && std::strtoul(&status[threads + 9], nullptr, 10) > 1) {
        RunAgainInUserNamespace();
    }
    if (unshare(CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWNET | (uid != 0 ? CLONE_NEWUSER : 0)) != 0) {
        Die("unshare");
    }
    if (uid != 0) {
        for (auto const& [path, content] :
             {std::pair<char const*, std::string>{"setgroups", "deny"},
              {"uid_map", "0 " + std::to_string(uid) + " 1"},
              {"gid_map", "0 " + std::to_string(gid) + " 1"}}) {
            int fd = open((std::string("/proc/self/") + path).c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0 || write(fd, content.data(), content.size()) != ssize_t(content.size()))
                Die(std::string("write /proc/self/") + path);
            close(fd);
        }
    }
    // Nothing mounted from here on propagates back to the host.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) Die("make / private");
    char const* tmp = std::getenv("TMPDIR");
    std::string name =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tslauth-sandbox.XXXXXX";
    if (mkdtemp(&name[0]) == nullptr) Die("mkdtemp " + name);
    scratch = name;
    if (mount("tmpfs", scratch.c_str(), "tmpfs", 0, "mode=0755") != 0) Die("mount " + scratch);
    std::atexit([] {
        umount2(scratch.c_str(), MNT_DETACH);
        rmdir(scratch.c_str());
    });
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);  // loopback up
    struct ifreq request = {};
    std::strcpy(request.ifr_name, "lo");
    if (fd < 0 || ioctl(fd, SIOCGIFFLAGS, &request) != 0) Die("SIOCGIFFLAGS lo");
    request.ifr_flags |= IFF_UP;
    if (ioctl(fd, SIOCSIFFLAGS, &request) != 0) Die("SIOCSIFFLAGS lo");
    close(fd);
}

std::string const& ScratchDirectory() {
    return scratch;
}

void MountPrivateHost(std::string const& hostName) {
    if (scratch.empty()) Die("the sandbox was not entered");
    hostRoot = scratch + "/host-" + std::to_string(++hostCounter);
    MakeDirectory(hostRoot);
    MountOverlay("/etc", "etc");
    MountOverlay("/usr/libexec", "libexec");
    MountTmpfs("/etc/pam.d", 1 << 20);  // empty rather than the host's copy
    for (char const* directory : {"/etc/ostrel", "/etc/ostrel/tslauth", "/usr/libexec/tslauth",
                                  "/usr/libexec/tslauth/lib"}) {
        MakeDirectory(directory);
    }
    // Name resolution only from the hosts file, and only a loopback resolver.
    WriteFile("/etc/hosts", "127.0.0.1\tlocalhost\n::1\tlocalhost\n");
    WriteFile("/etc/resolv.conf", "nameserver 127.0.0.1\n");
    WriteFile("/etc/nsswitch.conf",
              "passwd: files\ngroup: files\nshadow: files\nhosts: files dns\n");
    SetHostName(hostName);
}

void UnmountPrivateHost() {
    umount2("/usr/libexec", MNT_DETACH);  // with every mount below
    umount2("/etc", MNT_DETACH);
}

void SetFailureHandler(void (*handler)(std::string const&)) {
    failureHandler = handler;
}

void WriteFile(std::string const& path, std::string const& content, mode_t mode) {
    // Never write through a link that may lead out of the sandbox: replace it.
    if (unlink(path.c_str()) != 0 && errno != ENOENT) Fail("unlink " + path);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) Fail("create " + path);
    bool const written = write(fd, content.data(), content.size()) == ssize_t(content.size());
    close(fd);
    if (!written || chmod(path.c_str(), mode) != 0) Fail("write " + path);
}

std::string ReadFile(std::string const& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail("open " + path);
    std::string content;
    char buffer[8192];
    ssize_t count;
    while ((count = read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, count);
    close(fd);
    if (count < 0) Fail("read " + path);
    return content;
}

bool PathExists(std::string const& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

mode_t FileMode(std::string const& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) Fail("stat " + path);
    return info.st_mode & 07777;
}

std::vector<std::string> ListDirectory(std::string const& directory) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) Fail("opendir " + directory);
    std::vector<std::string> names;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void MakeDirectory(std::string const& path, mode_t mode) {
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) Fail("mkdir " + path);
}

void MountTmpfs(std::string const& directory, unsigned long bytes) {
    std::string const options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (mount("tmpfs", directory.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        Fail("mount tmpfs on " + directory);
    }
}

void MountOverlayWithLargeInodes(std::string const& directory) {
    static unsigned count = 0;
    MountOverlay(directory, "large-inodes-" + std::to_string(++count), ",xino=on");
}

void RemountReadOnly(std::string const& directory) {
    if (mount(nullptr, directory.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr)) {
        Fail("remount read-only " + directory);
    }
}

void SetHostName(std::string const& name) {
    if (sethostname(name.data(), name.size()) != 0) Fail("sethostname " + name);
}

ManagementInterface::ManagementInterface() {
    MakeDirectory("/etc/ostrel/hostctl");
    WriteFile("/etc/ostrel/hostctl/management-interface", "mgmt0\n");
    if (std::system("ip link add mgmt0 type veth peer name mgmt1 && "
                    "ip addr add 192.0.2.10/24 dev mgmt0 && ip link set mgmt0 up") != 0) {
        Fail("add the veth mgmt0");
    }
}

// A link left behind makes the next one fail to be added, loudly.
ManagementInterface::~ManagementInterface() {
    if (std::system("ip link del mgmt0") != 0)
        std::fputs("sandbox: ip link del mgmt0 failed\n", stderr);
}

}  // namespace sandbox
