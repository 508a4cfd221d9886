// Stand-ins the test programs export, so that the library and its plug-ins bind to them: log
// lines captured, pauses recorded not waited for, a thread creation failed when asked.
#include <dlfcn.h>
#include <pthread.h>
#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "private_host.h"

namespace sandbox {

namespace {

std::mutex mutex;
std::atomic<int> nextThreadFailure(0);
std::vector<LogLine> logLines;
std::vector<unsigned> sleeps;

void Capture(int priority, char const* format, va_list arguments) {
    char buffer[8192];
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    std::lock_guard<std::mutex> hold(mutex);
    logLines.push_back(LogLine{LOG_PRI(priority), buffer});
}

}  // namespace

std::vector<LogLine> CapturedLog() {
    std::lock_guard<std::mutex> hold(mutex);
    return logLines;
}

void ClearCapturedLog() {
    std::lock_guard<std::mutex> hold(mutex);
    logLines.clear();
}

std::vector<unsigned> RecordedSleeps() {
    std::lock_guard<std::mutex> hold(mutex);
    return sleeps;
}

void FailNextThreadCreation(int rc) {
    nextThreadFailure = rc;
}

void ClearRecordedSleeps() {
    std::lock_guard<std::mutex> hold(mutex);
    sleeps.clear();
}

}  // namespace sandbox

#define EXPORTED extern "C" __attribute__((visibility("default")))
#define CAPTURE_ARGUMENTS                          \
    va_list arguments;                             \
    va_start(arguments, format);                   \
    sandbox::Capture(priority, format, arguments); \
    va_end(arguments)

EXPORTED void syslog(int priority, char const* format, ...) {
    CAPTURE_ARGUMENTS;
}

EXPORTED void vsyslog(int priority, char const* format, va_list arguments) {
    sandbox::Capture(priority, format, arguments);
}

EXPORTED void __syslog_chk(int priority, int, char const* format, ...) {
    CAPTURE_ARGUMENTS;
}

EXPORTED void __vsyslog_chk(int priority, int, char const* format, va_list arguments) {
    sandbox::Capture(priority, format, arguments);
}

EXPORTED unsigned int sleep(unsigned int seconds) {
    std::lock_guard<std::mutex> hold(sandbox::mutex);
    sandbox::sleeps.push_back(seconds);
    return 0;
}

EXPORTED int pthread_create(pthread_t* thread, pthread_attr_t const* attributes,
                            void* (*start)(void*), void* argument) {
    typedef int (*Create)(pthread_t*, pthread_attr_t const*, void* (*)(void*), void*);
    static Create const real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (int rc = sandbox::nextThreadFailure.exchange(0)) return rc;
    return real(thread, attributes, start, argument);
}
