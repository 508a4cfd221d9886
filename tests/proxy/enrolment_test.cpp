// The enrolment service's request logic (proxy/src/enrolment.cpp) driven directly, with a
// stand-in for the Samba helper whose runs the tests hold and answer: what each outcome is
// answered with, a name held while its provisioning runs, the clean-up of provisionings that
// outlived their answer and the bound on them. The built service is service_test.cpp's.
#ifdef TSLAUTH_PROXYD
#include "enrolment.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "sandbox.h"

using namespace proxyd;

namespace {

uint32_t const kInternalError = 1359;
Fields const kNothing;  // an answer without fields

// The Samba helper as the tests play it. Each run is noted as "OP NAME DEADLINE [CONTAINER]";
// an operation given an outcome gets it at once, any other run is held until the test answers
// it, so that the tests wait for states, never for time.
class FakeHelper {
public:
    struct Outcome {
        uint32_t status = 0;
        Fields answer;
        bool throws = false;  // std::runtime_error with answer["error"] instead
    };

    void AnswerAtOnce(std::string const& op, Outcome const& outcome) {
        std::lock_guard<std::mutex> lock(mutex_);
        atOnce_[op] = outcome;
    }
    void HoldRunsOf(std::string const& op) {
        std::lock_guard<std::mutex> lock(mutex_);
        atOnce_.erase(op);
    }
    // The request of the oldest held run, once there is one. (The bound only keeps a broken
    // service from hanging the test.)
    Fields AwaitHeld() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(30), [this] { return !held_.empty(); })) {
            ADD_FAILURE() << "no run of the helper was held";
            return {};
        }
        return held_.front()->request;
    }
    std::size_t HeldCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return held_.size();
    }
    // The oldest held run ends so.
    void Answer(Outcome const& outcome) {
        std::lock_guard<std::mutex> lock(mutex_);
        ASSERT_FALSE(held_.empty());
        held_.front()->outcome = outcome;
        held_.front()->answered = true;
        held_.pop_front();
        changed_.notify_all();
    }
    // Every held run and every later one fails, so that nothing is left waiting.
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        for (auto const& run : held_) {
            run->outcome.status = kInternalError;
            run->answered = true;
        }
        held_.clear();
        changed_.notify_all();
    }
    // The runs noted since the last call.
    std::string Runs() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string runs;
        runs.swap(runs_);
        return runs;
    }

    uint32_t operator()(Fields const& request, Fields& answer, int deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::string const op = Get(request, "op");
        std::string const name = request.count("host-name") ? Get(request, "host-name")
                                 : request.count("account") ? Get(request, "account")
                                                            : "-";
        runs_ += op + " " + name + " " + std::to_string(deadline);
        runs_ += request.count("container") ? " " + Get(request, "container") + "\n" : "\n";
        Outcome outcome;
        auto const found = atOnce_.find(op);
        if (closed_) {
            outcome.status = kInternalError;
        } else if (found != atOnce_.end()) {
            outcome = found->second;
        } else {
            auto const run = std::make_shared<Held>();
            run->request = request;
            held_.push_back(run);
            changed_.notify_all();
            changed_.wait(lock, [&run] { return run->answered; });
            outcome = run->outcome;
        }
        if (outcome.throws) throw std::runtime_error(Get(outcome.answer, "error"));
        answer = outcome.answer;
        return outcome.status;
    }

private:
    struct Held {
        Fields request;
        bool answered = false;
        Outcome outcome;
    };
    static std::string Get(Fields const& fields, char const* name) {
        auto const found = fields.find(name);
        return found == fields.end() ? "" : found->second;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Outcome> atOnce_;
    std::deque<std::shared_ptr<Held>> held_;
    std::string runs_;
    bool closed_ = false;
};

std::string const kHv01 = R"({"host_name": "hv01.corp.example"})";
std::string const kCreated = R"(201 {"account":"HV01$","provisioning":"UHJv"})";
std::string const kTaken =
    R"(409 {"message":"an enrolment of HV01$ is under way or being undone; ask again later",)"
    R"("status":1316})";
FakeHelper::Outcome const kMade = {
    0, {{"account", "HV01$"}, {"provisioning", "UHJv"}, {"dc", "dc1.corp.example"}}};

class EnrolmentTest : public sandbox::SandboxTest {
protected:
    // The service's request logic, configured with this dc-timeout.
    void Start(int dcTimeoutSeconds) {
        config_.domain = "corp.example";
        config_.user = "enrol";
        config_.password = "pw";
        config_.container = "OU=Hosts";
        config_.dcTimeoutSeconds = dcTimeoutSeconds;
        samba_ = std::make_unique<SambaConfig>(config_.domain, State());
        samba_->Write();
        enrolment_ = std::make_unique<Enrolment>(config_, *samba_, std::ref(helper_));
    }
    // Waits for the provisionings answered too late to end, once none waits for the test.
    void Drain() {
        ASSERT_EQ(0u, helper_.HeldCount()) << "runs the test did not answer";
        enrolment_->Drain();
    }
    void TearDown() override {
        helper_.Close();
        if (enrolment_) enrolment_->Drain();
        SandboxTest::TearDown();
    }

    static std::string State() { return sandbox::ScratchDirectory() + "/state"; }
    // "HTTP-STATUS BODY" of an account request.
    std::string Create(std::string const& body) {
        std::string host, container;
        Reply const reply = enrolment_->CreateAccount(body, host, container);
        return std::to_string(reply.httpStatus) + " " + reply.body;
    }
    // The log lines about HV01$ (Drain may say it waits, or not).
    static std::string Log() {
        std::string log;
        for (auto const& line : sandbox::CapturedLog()) {
            if (line.text.rfind("HV01$: ", 0) == 0)
                log += std::to_string(line.priority) + " " + line.text + "\n";
        }
        sandbox::ClearCapturedLog();
        return log;
    }

    FakeHelper helper_;
    ProxyConfig config_;
    std::unique_ptr<SambaConfig> samba_;
    std::unique_ptr<Enrolment> enrolment_;
};

// Each account request as the helper's outcome makes it, or refused before any run: HTTP status,
// body and the helper's runs. A request answered in time is never undone, and the name is free
// again after each answer.
TEST_F(EnrolmentTest, AccountRequestsAreAnsweredAsTheHelperDecides) {
    Start(20);
    // A second request for the name while its provisioning runs: refused, no second run.
    helper_.HoldRunsOf("provision");
    std::future<std::string> first =
        std::async(std::launch::async, [this] { return Create(kHv01); });
    EXPECT_EQ((Fields{{"op", "provision"},
                      {"domain", "corp.example"},
                      {"host-name", "hv01.corp.example"},
                      {"user", "enrol"},
                      {"password", "pw"},
                      {"config", State() + "/smb.conf"},
                      {"container", "OU=Hosts"}}),
              helper_.AwaitHeld());
    EXPECT_EQ(kTaken, Create(R"({"host_name": "Hv01.Corp.Example"})"));
    helper_.Answer(kMade);
    EXPECT_EQ(kCreated, first.get());
    // Run for four dc-timeouts, so that one outliving its answer can still be undone.
    std::string const ran = "provision hv01.corp.example 80 OU=Hosts\n";
    EXPECT_EQ(ran, helper_.Runs());

    // No thread for the provisioning.
    sandbox::FailNextThreadCreation(EAGAIN);
    EXPECT_EQ(R"(500 {"message":"no thread: Resource temporarily unavailable","status":1359})",
              Create(kHv01));
    EXPECT_EQ("", helper_.Runs());

    std::string const hv01 = R"({"host_name": "hv01.corp.example", "container": )";
    std::string const notObject =
        R"(400 {"message":"the body is not a JSON object of strings","status":87})";
    std::string const noHost = R"(400 {"message":"the body has no host_name string","status":87})";
    std::string const longest(1024, 'x');
    struct {
        std::string body;
        FakeHelper::Outcome outcome;
        std::string expected, runs;
    } const rows[] = {
        {hv01 + R"("OU=Lab"})",
         {0, {{"account", "HV01$"}, {"provisioning", "UHJv"}, {"workgroup", "CORPNET"}}},
         kCreated,
         "provision hv01.corp.example 80 OU=Lab\n"},
        {hv01 + R"(""})", kMade, kCreated, ran},
        {hv01 + "null}", kMade, kCreated, ran},
        {hv01 + "\"" + longest + "\"}", kMade, kCreated,
         "provision hv01.corp.example 80 " + longest + "\n"},
        {kHv01,
         {1316, {{"error", "the domain already has a computer account 'HV01$'"}}},
         R"(409 {"message":"the domain already has a computer account 'HV01$'","status":1316})",
         ran},
        {kHv01,
         {1210, {{"error", "not a valid name"}}},
         R"(400 {"message":"not a valid name","status":1210})",
         ran},
        {kHv01,
         {1311, kNothing},
         R"(504 {"message":"no domain controller of corp.example answered","status":1311})",
         ran},
        {kHv01,
         {10060, {{"error", "timed out"}}},
         R"(504 {"message":"the domain controller did not answer within 20 s","status":10060})",
         ran},
        {kHv01,
         {kInternalError, kNothing},
         R"(500 {"message":"the helper failed; the service's log says why","status":1359})",
         ran},
        {kHv01,
         {5, {{"error", "access denied"}}},
         R"(502 {"message":"access denied","status":5})",
         ran},
        {kHv01,
         {31, kNothing},
         R"(502 {"message":"the directory request failed with status 31","status":31})",
         ran},
        {kHv01,
         {0, {{"account", "HV01$"}}},
         R"(500 {"message":"the helper's answer lacked the account","status":1359})",
         ran},
        {kHv01,
         {0, {{"error", "cannot start the helper"}}, true},
         R"(500 {"message":"cannot start the helper","status":1359})",
         ran},
        // Refused before any run.
        {R"({"host_name": "1234.corp.example"})", kMade,
         R"(400 {"message":"'1234.corp.example' cannot be enrolled: a computer account name )"
         R"(('1234') is not digits only","status":1210})",
         ""},
        {"hv01", kMade, notObject, ""},
        {R"(["hv01.corp.example"])", kMade, notObject, ""},
        {R"({"host_name": "hv01.corp.example", "x": {}})", kMade, notObject, ""},
        {R"({"container": "OU=Lab"})", kMade, noHost, ""},
        {R"({"host_name": 7})", kMade, noHost, ""},
        {hv01 + "7}", kMade,
         R"(400 {"message":"container is neither a string nor null","status":87})", ""},
        {hv01 + "\"x" + longest + "\"}", kMade,
         R"(400 {"message":"container is longer than 1024 characters","status":87})", ""},
        {hv01 + R"("OU=Lab\n"})", kMade,
         R"(400 {"message":"container holds control characters","status":87})", ""},
        {hv01 + R"("OU=Lab\u007f"})", kMade,
         R"(400 {"message":"container holds control characters","status":87})", ""},
    };
    for (auto const& row : rows) {
        helper_.AnswerAtOnce("provision", row.outcome);
        EXPECT_EQ(row.expected, Create(row.body)) << row.body;
        EXPECT_EQ(row.runs, helper_.Runs()) << row.body;
    }
    // The NetBIOS name a provisioning reported is the helper's workgroup from then on.
    EXPECT_NE(std::string::npos,
              sandbox::ReadFile(State() + "/smb.conf").find("\tworkgroup = CORPNET\n"));
}

// A provisioning that outlives its answer (a time-out) runs on, holding its name. What it made
// is deleted then, and only then, at the DC that made it; the name is free again once nothing
// of it can appear.
TEST_F(EnrolmentTest, ALateProvisioningHoldsItsNameUntilUndone) {
    Start(1);
    std::string const late =
        R"(504 {"message":"the domain controller did not answer within 1 s","status":10060})";
    std::string const ran = "provision hv01.corp.example 60 OU=Hosts\n";
    std::string const undo = "unprovision HV01$ 1\n";
    EXPECT_EQ(late, Create(kHv01));
    EXPECT_EQ(kTaken, Create(kHv01));
    helper_.AwaitHeld();
    helper_.Answer(kMade);
    EXPECT_EQ((Fields{{"op", "unprovision"},
                      {"domain", "corp.example"},
                      {"account", "HV01$"},
                      {"dc", "dc1.corp.example"},
                      {"user", "enrol"},
                      {"password", "pw"},
                      {"config", State() + "/smb.conf"}}),
              helper_.AwaitHeld());
    EXPECT_EQ(kTaken, Create(R"({"host_name": "Hv01.Corp.Example"})"));
    helper_.Answer({});
    ASSERT_NO_FATAL_FAILURE(Drain());
    EXPECT_EQ(ran + undo, helper_.Runs());
    EXPECT_EQ("4 HV01$: created after its request was answered with a time-out; deleted again\n",
              Log());

    // The deletion fails each of its three tries: the operator is told to delete the account.
    EXPECT_EQ(late, Create(kHv01));
    helper_.AnswerAtOnce("unprovision", {kInternalError, {{"error", "the DC refused"}}});
    helper_.AwaitHeld();
    helper_.Answer(kMade);
    ASSERT_NO_FATAL_FAILURE(Drain());
    EXPECT_EQ(ran + undo + undo + undo, helper_.Runs());
    EXPECT_EQ(
        "3 HV01$: created after its request was answered with a time-out, and could not be "
        "deleted (status 1359: the DC refused); nobody uses it: delete it\n",
        Log());

    // Failed after its answer: the account named is another's, and stays.
    EXPECT_EQ(late, Create(kHv01));
    helper_.AwaitHeld();
    helper_.Answer({1316, {}});
    ASSERT_NO_FATAL_FAILURE(Drain());
    EXPECT_EQ(ran, helper_.Runs());
    EXPECT_EQ(
        "6 HV01$: the provisioning answered too late ended with status 1316; nothing to delete\n",
        Log());
}

// Past 16 provisionings that outlived their answer, account requests are refused at once,
// with no run of the helper.
TEST_F(EnrolmentTest, LateProvisioningsAreBounded) {
    Start(1);
    std::vector<std::future<std::string>> asked;
    for (int i = 0; i < 16; ++i) {
        asked.push_back(std::async(std::launch::async, [this, i] {
            return Create(R"({"host_name": "stall)" + std::to_string(i) + R"(.corp.example"})");
        }));
    }
    for (auto& answer : asked) {
        EXPECT_EQ(
            R"(504 {"message":"the domain controller did not answer within 1 s","status":10060})",
            answer.get());
    }
    helper_.Runs();
    EXPECT_EQ(
        R"(503 {"message":"16 provisionings answered with a time-out are still running against )"
        R"(the DC; ask again later","status":170})",
        Create(kHv01));
    EXPECT_EQ("", helper_.Runs());
}

// The domain's names from the helper, kept (a second query runs no helper) unless it failed;
// the NetBIOS name rewrites the helper's smb.conf.
TEST_F(EnrolmentTest, DomainQueryIsKeptOnlyWhenAnswered) {
    Start(20);
    Fields const names = {
        {"netbios-domain", "CORPNET"}, {"dns-domain", "corp.example"}, {"sid", "S-1-5-21-1-2-3"}};
    Fields noSid = names;
    noSid.erase("sid");
    // "HTTP-STATUS BODY" of a query the helper would answer so, then its runs.
    auto const ask = [this](FakeHelper::Outcome const& outcome) {
        helper_.AnswerAtOnce("domain-info", outcome);
        Reply const reply = enrolment_->DomainInfo();
        return std::to_string(reply.httpStatus) + " " + reply.body + "\n" + helper_.Runs();
    };
    std::string const ran = "\ndomain-info - 20\n";
    std::string const domain =
        R"(200 {"dns_name":"corp.example","netbios_name":"CORPNET","sid":"S-1-5-21-1-2-3"})";
    EXPECT_EQ(
        R"(504 {"message":"no domain controller of corp.example answered","status":1311})" + ran,
        ask({1311, kNothing}));
    EXPECT_EQ(
        R"(500 {"message":"the helper's answer lacked the domain's names","status":1359})" + ran,
        ask({0, noSid}));
    EXPECT_EQ(domain + ran, ask({0, names}));
    EXPECT_EQ(domain + "\n", ask({1311, kNothing}));
    EXPECT_NE(std::string::npos,
              sandbox::ReadFile(State() + "/smb.conf").find("\tworkgroup = CORPNET\n"));
}

}  // namespace
#endif
