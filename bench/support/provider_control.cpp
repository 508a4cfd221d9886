#include "provider_control.h"

#include <dlfcn.h>
#include <time.h>

#include <stdexcept>
#include <string>

namespace bench {

namespace {

template <typename Function>
Function Find(char const* name) {
    void* address = dlsym(RTLD_DEFAULT, name);
    if (address == nullptr) {
        throw std::runtime_error(std::string("the benchmark plug-in is not loaded: ") + name);
    }
    return reinterpret_cast<Function>(address);
}

void Pause() {
    struct timespec const pause = {0, 100000};
    nanosleep(&pause, nullptr);
}

}  // namespace

ProviderControl::ProviderControl()
    : hold(Find<void (*)(int)>("BenchProviderHold")),
      release(Find<void (*)(int)>("BenchProviderRelease")),
      blocked(Find<unsigned (*)(int)>("BenchProviderBlocked")),
      returned(Find<unsigned long (*)(int)>("BenchProviderReturned")) {}

void ProviderControl::Hold(int slot) const {
    hold(slot);
}

void ProviderControl::Release(int slot) const {
    release(slot);
}

unsigned ProviderControl::Blocked(int slot) const {
    return blocked(slot);
}

unsigned long ProviderControl::Returned(int slot) const {
    return returned(slot);
}

void ProviderControl::WaitUntilBlocked(int slot, unsigned count) const {
    while (blocked(slot) < count) Pause();
}

void ProviderControl::WaitUntilReturned(int slot, unsigned long count) const {
    while (returned(slot) < count) Pause();
}

}  // namespace bench
