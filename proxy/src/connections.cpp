#include "connections.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace proxyd {

namespace {

thread_local Connection* current = nullptr;

}  // namespace

Connection::Connection(int socket, std::string peer)
    : socket(socket), watched(fcntl(socket, F_DUPFD_CLOEXEC, 0)), peer(std::move(peer)) {}

Connection::~Connection() {
    if (watched >= 0) close(watched);
    if (!handedOver) close(socket);
}

Connection* CurrentConnection() {
    return current;
}

void SetCurrentConnection(Connection* connection) {
    current = connection;
}

void CountReceived(Connection& connection, std::size_t bytes) {
    if (connection.bytes.fetch_add(bytes) + bytes > kConnectionBytes &&
        !connection.overBudget.exchange(true)) {
        shutdown(connection.socket, SHUT_RDWR);
    }
}

Watchdog::Watchdog() : thread_([this] { Run(); }) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void Watchdog::Cut(Connection& connection) {
    connection.cut = true;
    // A duplicate that only this object closes: the socket number is still this connection's.
    shutdown(connection.watched >= 0 ? connection.watched : connection.socket, SHUT_RDWR);
}

void Watchdog::Watch(Connection& connection, Clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(mutex_);
    connection.deadline = deadline;
    if (stopping_) {
        Cut(connection);
        return;
    }
    watched_.insert(&connection);
    changed_.notify_all();
}

void Watchdog::Answering(Connection& connection, Clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(mutex_);
    connection.answering = true;
    connection.deadline = deadline;
    changed_.notify_all();
}

void Watchdog::Forget(Connection& connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    watched_.erase(&connection);
}

void Watchdog::Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    // Those cut are forgotten at once: the connections still waiting for a thread are dropped
    // (and freed) next.
    for (auto it = watched_.begin(); it != watched_.end();) {
        if ((*it)->answering) {
            ++it;
        } else {
            Cut(**it);
            it = watched_.erase(it);
        }
    }
    changed_.notify_all();
}

void Watchdog::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!ending_) {
        Clock::time_point const now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        for (auto it = watched_.begin(); it != watched_.end();) {
            if ((*it)->deadline <= now) {
                Cut(**it);
                it = watched_.erase(it);
            } else {
                next = std::min(next, (*it)->deadline);
                ++it;
            }
        }
        if (next == Clock::time_point::max()) {
            changed_.wait(lock);
        } else {
            changed_.wait_until(lock, next);
        }
    }
}

Lane::Lane(std::size_t threads, std::size_t waiting, Serve serve, std::size_t peerThreads,
           std::size_t peerWaiting)
    : limit_(threads + waiting),
      peerThreads_(peerThreads),
      peerWaiting_(peerWaiting),
      serve_(std::move(serve)) {
    for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

Lane::~Lane() {
    Stop();
}

bool Lane::Add(std::unique_ptr<Connection>& connection) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || busy_ + waiting_.size() >= limit_) return false;
        auto const count = [&connection](std::map<std::string, std::size_t> const& counts) {
            auto const found = counts.find(connection->peer);
            return found == counts.end() ? std::size_t{0} : found->second;
        };
        std::size_t const share =
            peerThreads_ > SIZE_MAX - peerWaiting_ ? SIZE_MAX : peerThreads_ + peerWaiting_;
        if (count(peerBusy_) + count(peerQueued_) >= share) return false;
        ++peerQueued_[connection->peer];
        waiting_.push_back(std::move(connection));
    }
    ready_.notify_all();
    return true;
}

std::deque<std::unique_ptr<Connection>>::iterator Lane::Next() {
    return std::find_if(waiting_.begin(), waiting_.end(), [this](auto const& connection) {
        auto const busy = peerBusy_.find(connection->peer);
        return busy == peerBusy_.end() || busy->second < peerThreads_;
    });
}

void Lane::Stop() {
    std::deque<std::unique_ptr<Connection>> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        dropped.swap(waiting_);
    }
    ready_.notify_all();
    dropped.clear();
    for (std::thread& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
}

void Lane::Work() {
    for (;;) {
        std::unique_ptr<Connection> connection;
        std::string peer;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || Next() != waiting_.end(); });
            if (stopping_) return;
            auto const next = Next();
            connection = std::move(*next);
            waiting_.erase(next);
            peer = connection->peer;
            if (--peerQueued_[peer] == 0) peerQueued_.erase(peer);
            ++peerBusy_[peer];
            ++busy_;
        }
        serve_(std::move(connection));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --busy_;
            if (--peerBusy_[peer] == 0) peerBusy_.erase(peer);
        }
        ready_.notify_all();  // a peer's connection that waited for its share may go now
    }
}

}  // namespace proxyd
