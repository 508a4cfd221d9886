#ifndef DEMO_DIRECTORY_ANSWER_H
#define DEMO_DIRECTORY_ANSWER_H

#include <syslog.h>

#include <cstdint>
#include <exception>
#include <new>

#include "failure.h"

namespace demodirectory {

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
