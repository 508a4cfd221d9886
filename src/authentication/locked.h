#ifndef AUTHENTICATION_LOCKED_H
#define AUTHENTICATION_LOCKED_H

#include <pthread.h>

namespace ostrel {
namespace authentication {

// Holds a POSIX mutex for the life of a scope, so that every way out releases it.
class Locked {
public:
    explicit Locked(pthread_mutex_t& mutex) : mutex(mutex) { pthread_mutex_lock(&mutex); }
    ~Locked() { pthread_mutex_unlock(&mutex); }
    Locked(Locked const&) = delete;
    Locked& operator=(Locked const&) = delete;

private:
    pthread_mutex_t& mutex;
};

}  // namespace authentication
}  // namespace ostrel

#endif
