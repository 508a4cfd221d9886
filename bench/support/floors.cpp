#include "floors.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace bench {

namespace {

[[noreturn]] void Fail(std::string const& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

struct Completion {
    Completion() : done(false) {
        pthread_mutex_init(&lock, nullptr);
        pthread_condattr_t attributes;
        pthread_condattr_init(&attributes);
        pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
        pthread_cond_init(&signal, &attributes);
        pthread_condattr_destroy(&attributes);
    }
    pthread_mutex_t lock;
    pthread_cond_t signal;
    bool done;
};

// One round trip at a time, so one record serves them all and outlives every thread.
Completion completion;

void* Signal(void*) {
    pthread_mutex_lock(&completion.lock);
    completion.done = true;
    pthread_cond_signal(&completion.signal);
    pthread_mutex_unlock(&completion.lock);
    return nullptr;
}

}  // namespace

void ReplaceAtomically(std::string const& path, std::string const& content) {
    std::string pattern = path + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) Fail("mkstemp " + pattern);
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
        fsync(fd) != 0) {
        int error = errno;
        close(fd);
        unlink(name.data());
        errno = error;
        Fail("write " + std::string(name.data()));
    }
    if (close(fd) != 0) Fail("close " + std::string(name.data()));
    if (rename(name.data(), path.c_str()) != 0) Fail("rename to " + path);
    std::string const directory = path.substr(0, path.rfind('/'));
    int dir = open(directory.empty() ? "/" : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) Fail("open " + directory);
    if (fsync(dir) != 0 && errno != EINVAL) {
        close(dir);
        Fail("fsync " + directory);
    }
    close(dir);
}

void CopyWithGuarantees(std::string const& path) {
    // Kept between calls: growing it is the caller's allocation, not a system call.
    static std::vector<char> content(65536);
    int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) Fail("open " + path);
    std::size_t size = 0;
    for (;;) {
        if (content.size() - size < 65536) content.resize(content.size() * 2);
        ssize_t const count = read(in, content.data() + size, content.size() - size);
        if (count < 0) {
            close(in);
            Fail("read " + path);
        }
        if (count == 0) break;
        size += static_cast<std::size_t>(count);
    }
    close(in);
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) Fail("lstat " + path);
    std::string pattern = path + ".XXXXXX";
    int fd = mkostemp(&pattern[0], O_CLOEXEC);
    if (fd < 0) Fail("mkostemp " + pattern);
    if (write(fd, content.data(), size) != static_cast<ssize_t>(size) ||
        (fchown(fd, status.st_uid, status.st_gid) != 0 && errno != EPERM) ||
        fchmod(fd, status.st_mode & 07777) != 0 || fsync(fd) != 0) {
        int error = errno;
        close(fd);
        unlink(pattern.c_str());
        errno = error;
        Fail("write " + pattern);
    }
    if (close(fd) != 0) Fail("close " + pattern);
    if (rename(pattern.c_str(), path.c_str()) != 0) Fail("rename to " + path);
    std::string const directory = path.substr(0, path.rfind('/'));
    int dir = open(directory.empty() ? "/" : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) Fail("open " + directory);
    if (fsync(dir) != 0 && errno != EINVAL) {
        close(dir);
        Fail("fsync " + directory);
    }
    close(dir);
}

void ThreadRoundTrip() {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += 60;
    pthread_mutex_lock(&completion.lock);
    completion.done = false;
    pthread_mutex_unlock(&completion.lock);
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, &Signal, nullptr);
    if (rc != 0) {
        errno = rc;
        Fail("pthread_create");
    }
    pthread_detach(thread);
    pthread_mutex_lock(&completion.lock);
    while (!completion.done) {
        if (pthread_cond_timedwait(&completion.signal, &completion.lock, &deadline) == ETIMEDOUT) {
            break;
        }
    }
    bool const done = completion.done;
    pthread_mutex_unlock(&completion.lock);
    if (!done) throw std::runtime_error("the floor's thread did not signal");
}

void WaitForTimeOut(int seconds) {
    Completion idle;
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += seconds;
    pthread_mutex_lock(&idle.lock);
    while (pthread_cond_timedwait(&idle.signal, &idle.lock, &deadline) != ETIMEDOUT) {
    }
    pthread_mutex_unlock(&idle.lock);
}

void LoadAndUnload(std::string const& path) {
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_GLOBAL);
    if (handle == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    bool const found = dlsym(handle, "ActiveDirectoryClientMetadata") != nullptr &&
                       dlsym(handle, "ActiveDirectoryClientOperations") != nullptr;
    dlclose(handle);
    if (!found) throw std::runtime_error("the plug-in lacks its symbols: " + path);
}

}  // namespace bench
