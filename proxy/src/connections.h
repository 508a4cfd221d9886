#ifndef TSLAUTH_PROXYD_CONNECTIONS_H
#define TSLAUTH_PROXYD_CONNECTIONS_H

// Accepted connections, their deadlines and the threads that serve them. The service accepts
// connections itself: before a byte of TLS is read it knows the peer's address, decides where
// the connection waits or whether it is closed at once, and gives it a deadline that a
// watchdog thread enforces by shutting the socket down, whatever the peer sends or withholds.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace proxyd {

using Clock = std::chrono::steady_clock;

// A connection from an address that may enrol waits at most this long for a worker: hosts
// enrolling in a burst queue up, and a waiting connection holds no worker.
int const kQueueSeconds = 60;
std::size_t const kWaitingConnections = 128;
// What one connection may cost before its request has been read: time from the moment a
// worker takes it (the TLS handshake included) and bytes received.
int const kRequestSeconds = 15;
std::size_t const kConnectionBytes = 256 * 1024;
// Once the request is read, what answering it may take beyond dc-timeout.
int const kAnswerSeconds = 10;
// A peer whose address may not enrol is answered (403) within this time, or cut.
int const kRefusalSeconds = 5;

struct Connection {
    // `socket` is served by the HTTP library, which closes it; the watchdog shuts down a
    // duplicate of it, which stays open as long as this object, so that its number is never
    // another connection's.
    Connection(int socket, std::string peer);
    ~Connection();
    Connection(Connection const&) = delete;
    Connection& operator=(Connection const&) = delete;

    int const socket;
    int const watched;
    std::string const peer;
    int servingSeconds = 0;             // when > 0, the deadline once a thread takes it
    bool handedOver = false;            // the library owns `socket`
    Clock::time_point deadline;         // guarded by the watchdog
    bool answering = false;             // the request is read; guarded by the watchdog
    std::atomic<std::size_t> bytes{0};  // received, counted by tls.cpp
    std::atomic<bool> cut{false};       // shut down at its deadline or at the stop
    std::atomic<bool> overBudget{false};
    // Only the serving thread uses these.
    bool handshaken = false;
    bool logged = false;
};

// The connection the calling thread serves, or null.
Connection* CurrentConnection();
void SetCurrentConnection(Connection* connection);

// Counts bytes received on the current connection; past kConnectionBytes it is shut down.
void CountReceived(Connection& connection, std::size_t bytes);

class Watchdog {
public:
    Watchdog();
    ~Watchdog();
    Watchdog(Watchdog const&) = delete;
    Watchdog& operator=(Watchdog const&) = delete;

    // Shuts the connection's socket down at `deadline` unless it is forgotten first.
    void Watch(Connection& connection, Clock::time_point deadline);
    // The request is read: a new deadline for answering it, which Stop leaves alone.
    void Answering(Connection& connection, Clock::time_point deadline);
    void Forget(Connection& connection);
    // Shuts down and forgets every connection whose request is not read yet; later ones are
    // cut at once.
    void Stop();

private:
    void Run();
    static void Cut(Connection& connection);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<Connection*> watched_;
    bool stopping_ = false;
    bool ending_ = false;
    std::thread thread_;
};

// `threads` serve connections; at most `waiting` more wait for one of them. Past that, Add
// refuses at once. One peer address may hold at most `peerThreads` of the threads and
// `peerWaiting` of the waiting places: its other connections wait, or are refused, while the
// threads it leaves serve other peers in the order they came.
class Lane {
public:
    using Serve = std::function<void(std::unique_ptr<Connection>)>;
    Lane(std::size_t threads, std::size_t waiting, Serve serve, std::size_t peerThreads = SIZE_MAX,
         std::size_t peerWaiting = SIZE_MAX);
    ~Lane();
    Lane(Lane const&) = delete;
    Lane& operator=(Lane const&) = delete;

    // false (the connection is left with the caller) when every thread is busy and the
    // waiting places are taken, or its peer's are.
    bool Add(std::unique_ptr<Connection>& connection);
    // Drops the connections still waiting and waits for those being served.
    void Stop();

private:
    void Work();

    // The first waiting connection whose peer may have another thread, or end().
    std::deque<std::unique_ptr<Connection>>::iterator Next();

    std::size_t const limit_;
    std::size_t const peerThreads_;
    std::size_t const peerWaiting_;
    Serve const serve_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::unique_ptr<Connection>> waiting_;
    std::map<std::string, std::size_t> peerBusy_, peerQueued_;
    std::size_t busy_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace proxyd

#endif
