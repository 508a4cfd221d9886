#ifndef DEMO_DIRECTORY_ANSWER_H
#define DEMO_DIRECTORY_ANSWER_H

#include <plugin_results.h>
#include <syslog.h>

#include <cstdint>
#include <exception>
#include <new>

#include "failure.h"

namespace demodirectory {

using pluginresults::CopyDomainNames;
using pluginresults::CopyString;
using pluginresults::CopyStrings;
using pluginresults::FreeDomainNames;
using pluginresults::FreeString;
using pluginresults::FreeStrings;
using pluginresults::OwnedString;

// The shared result copies answer NULL when memory runs out; inside Answer that is a
// std::bad_alloc, which ends the operation with kNotEnoughMemory.
template <class T>
T* Made(T* copy) {
    if (copy == nullptr) throw std::bad_alloc();
    return copy;
}

// Runs one plug-in operation and turns its outcome into a status: nothing thrown inside may
// cross the C boundary of the plug-in tables.
template <class Body>
std::uint32_t Answer(char const* operation, Body body) noexcept {
    try {
        body();
        return kSuccess;
    } catch (Failure const& failure) {
        if (failure.Logged()) {
            syslog(LOG_ERR, "demo directory: %s: %s", operation, failure.what());
        }
        return failure.status;
    } catch (std::bad_alloc const&) {
        return kNotEnoughMemory;
    } catch (std::exception const& error) {
        syslog(LOG_ERR, "demo directory: %s: %s", operation, error.what());
        return kInternalError;
    } catch (...) {
        syslog(LOG_ERR, "demo directory: %s: unexpected failure", operation);
        return kInternalError;
    }
}

}  // namespace demodirectory

#endif
