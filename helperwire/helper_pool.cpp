#include "helper_pool.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "helper_client.h"

namespace sambaprovider {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
    auto const left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Sends the whole text before the deadline; false when the helper is gone or does not read.
bool SendBy(int channel, std::string const& text, Clock::time_point deadline) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n =
            send(channel, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return false;
        int const left = MillisecondsLeft(deadline);
        pollfd wait = {channel, POLLOUT, 0};
        if (left == 0 || poll(&wait, 1, left) == 0) return false;
    }
    return true;
}

enum class Outcome { kAnswered, kTimedOut, kNoAnswer };

// One frame from the helper before the deadline.
Outcome Receive(int channel, Clock::time_point deadline, Fields& answer) {
    std::string buffer;
    for (;;) {
        int const taken = TakeFrame(buffer, answer);
        if (taken > 0) return Outcome::kAnswered;
        if (taken < 0) return Outcome::kNoAnswer;
        int const left = MillisecondsLeft(deadline);
        if (left == 0) return Outcome::kTimedOut;
        pollfd wait = {channel, POLLIN, 0};
        int const ready = poll(&wait, 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char chunk[4096];
        ssize_t n = read(channel, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Outcome::kNoAnswer;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

}  // namespace

HelperPool::HelperPool(std::string path, std::size_t idleLimit, int idleSeconds)
    : path_(std::move(path)), idleLimit_(idleLimit), idleTime_(idleSeconds) {
    reaper_ = std::thread([this] { Reap(); });
}

HelperPool::~HelperPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    reaper_.join();
    for (Helper& helper : waiting_) End(helper);
}

void HelperPool::CollectGone(std::vector<Helper>& gone) {
    for (auto at = waiting_.begin(); at != waiting_.end();) {
        // A waiting helper has nothing to say: readable means it ended.
        pollfd check = {at->channel, POLLIN, 0};
        if (poll(&check, 1, 0) != 0 || Clock::now() - at->idleSince >= idleTime_) {
            gone.push_back(*at);
            at = waiting_.erase(at);
        } else {
            ++at;
        }
    }
}

void HelperPool::Reap() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (waiting_.empty()) {
            changed_.wait(lock);
        } else {
            Clock::time_point oldest = waiting_.front().idleSince;
            for (Helper const& helper : waiting_) oldest = std::min(oldest, helper.idleSince);
            changed_.wait_until(lock, oldest + idleTime_);
        }
        std::vector<Helper> gone;
        CollectGone(gone);
        lock.unlock();
        for (Helper& helper : gone) End(helper);
        lock.lock();
    }
}

bool HelperPool::Start(Helper& helper, Fields& answer) {
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        answer["error"] = "no socket for the helper";
        return false;
    }
    helper.pid = StartHelper(path_, sockets[1], true);
    close(sockets[1]);
    if (helper.pid < 0) {
        close(sockets[0]);
        answer["error"] = "the helper '" + path_ + "' could not be run";
        return false;
    }
    helper.channel = sockets[0];
    return true;
}

void HelperPool::End(Helper& helper) {
    if (helper.channel >= 0) close(helper.channel);
    helper.channel = -1;
    if (helper.pid <= 0) return;
    kill(helper.pid, SIGKILL);
    while (waitpid(helper.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    helper.pid = -1;
}

bool HelperPool::TakeWaiting(Helper& helper) {
    std::vector<Helper> gone;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        CollectGone(gone);
        if (!waiting_.empty()) {
            // The one that waited least: the others may then reach their time and end.
            helper = waiting_.back();
            waiting_.pop_back();
            found = true;
        }
    }
    for (Helper& old : gone) End(old);
    return found;
}

void HelperPool::PutBack(Helper& helper) {
    helper.idleSince = Clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (waiting_.size() < idleLimit_) {
            waiting_.push_back(helper);
            changed_.notify_all();
            return;
        }
    }
    End(helper);
}

uint32_t HelperPool::Run(Fields const& request, Fields& answer, int deadlineSeconds) {
    Clock::time_point const deadline = Clock::now() + std::chrono::seconds(deadlineSeconds);
    std::string const frame = EncodeFrame(request);
    Helper helper;
    bool sent = false;
    // A waiting helper that ended meanwhile got none of the request: the next one takes it.
    while (!sent && TakeWaiting(helper)) {
        sent = SendBy(helper.channel, frame, deadline);
        if (!sent) End(helper);
    }
    if (!sent) {
        if (!Start(helper, answer)) return kHelperFailed;
        if (!SendBy(helper.channel, frame, deadline)) {
            End(helper);
            answer["error"] = "the helper took no request";
            return kHelperFailed;
        }
    }
    Fields fields;
    Outcome const outcome = Receive(helper.channel, deadline, fields);
    if (outcome == Outcome::kTimedOut) {
        End(helper);
        return StoppedAtDeadline(deadlineSeconds, answer);
    }
    if (outcome == Outcome::kNoAnswer || fields.count("status") == 0) {
        End(helper);
        syslog(LOG_ERR, "Samba provider: the helper ended without an answer");
        answer["error"] = "the helper ended without an answer";
        return kHelperFailed;
    }
    uint32_t const status =
        static_cast<uint32_t>(std::strtoul(fields["status"].c_str(), nullptr, 10));
    // A helper that answered a failure, or served its last request, ends by itself.
    bool const more = status == 0 && fields["more"] == "1";
    fields.erase("more");
    answer = fields;
    if (more) {
        PutBack(helper);
    } else {
        End(helper);
    }
    return status;
}

}  // namespace sambaprovider
