// The long-lived helpers the enrolment service provisions with (helperwire/helper_pool.cpp),
// with a stand-in that speaks their frames: a helper that succeeded serves the next request,
// and one that failed, hung, ended or answered nonsense never does.
#ifdef TSLAUTH_PROXYD
#include "helper_pool.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "sandbox.h"

using sambaprovider::Fields;
using sambaprovider::HelperPool;

namespace {

// Answers each frame by its host name: "fail" with status 5, "hang" never, "garbage" with bytes
// that are no frame, "last" successfully and then ends, anything else successfully, offering
// to serve again. Every answer names the stand-in's PID and the host it was asked for.
std::string const kStandIn = R"(#!/bin/sh
exec <&3 >&3
[ "$1" = --serve ] || exit 3
answer() {
    body=
    while [ $# -gt 1 ]; do
        body="$body$1 ${#2}
$2
"
        shift 2
    done
    printf 'frame %d\n%s\n' ${#body} "$body"
}
while read -r word length; do
    request=$(head -c $((length + 1)))
    host=$(printf '%s\n' "$request" | sed -n '/^host-name /{n;p;}')
    case $host in
        fail) answer error "refused" pid $$ status 5; exit 0 ;;
        hang) exec sleep 600 ;;
        garbage) printf 'no frame\n'; exit 0 ;;
        last) answer host "$host" pid $$ status 0; exit 0 ;;
        *) answer host "$host" more 1 pid $$ status 0 ;;
    esac
done
)";

class HelperPoolTest : public sandbox::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        path_ = sandbox::ScratchDirectory() + "/helper-stand-in";
        sandbox::WriteFile(path_, kStandIn, 0755);
    }
    // Asks for `host`; the status, with the answer's fields in `answer`.
    uint32_t Ask(HelperPool& pool, std::string const& host, Fields& answer, int deadline = 20) {
        answer.clear();
        return pool.Run({{"op", "provision"}, {"host-name", host}}, answer, deadline);
    }
    static bool Gone(std::string const& pid) {
        return pid.empty() || (kill(std::stoi(pid), 0) != 0 && errno == ESRCH);
    }
    // Ended, its descriptors closed, though not yet reaped by the pool.
    static bool Ended(std::string const& pid) {
        std::ifstream stat("/proc/" + pid + "/stat");
        std::string state;
        stat.ignore(1 << 16, ')') >> state;
        return !stat || state == "Z";
    }
    std::string path_;
};

TEST_F(HelperPoolTest, OneThatSucceededServesTheNextAndNoOtherDoes) {
    HelperPool pool(path_, 2);
    Fields first, second, answer;
    ASSERT_EQ(0u, Ask(pool, "hv01", first));
    ASSERT_EQ(0u, Ask(pool, "hv02", second));
    // The same process, answering each request with its own answer; "more" stays the pool's.
    EXPECT_EQ((Fields{{"host", "hv02"}, {"pid", first["pid"]}, {"status", "0"}}), second);

    // A failure comes back as it was answered, and its helper is not asked again.
    EXPECT_EQ(5u, Ask(pool, "fail", answer));
    EXPECT_EQ("refused", answer["error"]);
    EXPECT_EQ(first["pid"], answer["pid"]);
    EXPECT_EQ(0u, Ask(pool, "hv03", answer));
    EXPECT_NE(first["pid"], answer["pid"]);
    EXPECT_TRUE(Gone(first["pid"]));

    // One that said it serves no more is not asked again either.
    std::string const served = answer["pid"];
    ASSERT_EQ(0u, Ask(pool, "last", answer));
    EXPECT_EQ(served, answer["pid"]);
    ASSERT_EQ(0u, Ask(pool, "hv04", answer));
    EXPECT_NE(served, answer["pid"]);

    // Nonsense instead of a frame: no answer, and that helper goes.
    std::string const sane = answer["pid"];
    EXPECT_EQ(1359u, Ask(pool, "garbage", answer));
    EXPECT_EQ("the helper ended without an answer", answer["error"]);
    EXPECT_TRUE(Gone(sane));
}

TEST_F(HelperPoolTest, HungOrEndedHelpersAreReplaced) {
    HelperPool pool(path_, 2);
    Fields answer;
    // A waiting helper that was killed meanwhile: the request goes to a new one, unharmed.
    ASSERT_EQ(0u, Ask(pool, "hv01", answer));
    std::string const killed = answer["pid"];
    kill(std::stoi(killed), SIGKILL);
    for (int i = 0; i < 1000 && !Ended(killed); ++i) poll(nullptr, 0, 10);
    ASSERT_EQ(0u, Ask(pool, "hv02", answer));
    EXPECT_NE(killed, answer["pid"]);

    // One that hangs is killed at the deadline; the next request gets a working one.
    std::string const waiting = answer["pid"];
    EXPECT_EQ(10060u, Ask(pool, "hang", answer, 1));
    EXPECT_EQ("no answer from the domain controller within 1 s; the attempt was stopped",
              answer["error"]);
    EXPECT_TRUE(Gone(waiting));
    ASSERT_EQ(0u, Ask(pool, "hv03", answer));
    EXPECT_NE(waiting, answer["pid"]);

    // An idle service keeps no helper past its waiting time, asked or not.
    HelperPool brief(path_, 2, 1);
    ASSERT_EQ(0u, Ask(brief, "hv04", answer));
    std::string const idle = answer["pid"];
    for (int i = 0; i < 1000 && !Gone(idle); ++i) poll(nullptr, 0, 10);
    EXPECT_TRUE(Gone(idle));
}

}  // namespace
#endif
