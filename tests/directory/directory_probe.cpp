// What the directory suite checks from inside one process on a lab member (tests/directory):
//
//   directory_probe join DOMAIN USER PASSWORD-FILE
//       joins through the factory's store; prints what the join threw and the retry pauses
//   directory_probe lookups DOMAIN NAME
//       the store's forwarded lookups: a DC of the domain, the host's principal in it, and
//       the canonical form of the user name NAME
//   directory_probe reload ROUNDS
//       loads the provider, asks it from 8 threads at once, unloads it; ROUNDS times: every
//       answer the same, and the plug-in gone from the process afterwards
//   directory_probe pam SERVICE USER PASSWORD
//       one PAM conversation; prints the results of pam_authenticate and pam_acct_mgmt
//   directory_probe frozen-dc TIMEOUT MACHINE-DN TRUST-STATE FREEZE-COMMAND THAW-COMMAND
//       a store with that time-out, while the DC hangs: bounded first answers, cached later
//       ones, fresh ones after the thaw
//
// The program stands in for sleep(3): the join retries' pauses are recorded, not waited for.
#include <authentication/authentication.h>
#include <cxxabi.h>
#include <fcntl.h>
#include <security/pam_appl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // the factory hands out auto_ptr

extern char** environ;

namespace {

using namespace ostrel::authentication;

std::mutex sleepsLock;
std::vector<unsigned> sleeps;

std::string ClassName(std::exception const& e) {
    int status = 0;
    char* name = abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status);
    std::string const result = status == 0 && name != nullptr ? name : typeid(e).name();
    std::free(name);
    return result;
}

// The store the factory makes for "Active Directory".
std::unique_ptr<ActiveDirectoryStore> MakeStore() {
    std::auto_ptr<AuthenticationStore> made =
        Singleton<AuthenticationStoreFactory>::_instance->CreateInstance("Active Directory");
    std::unique_ptr<ActiveDirectoryStore> store(dynamic_cast<ActiveDirectoryStore*>(made.get()));
    if (store == nullptr) throw std::runtime_error("no Active Directory store");
    made.release();
    return store;
}

// ---- join ------------------------------------------------------------------------------------

int Join(std::string const& domain, std::string const& user, std::string const& passwordFile) {
    std::ifstream in(passwordFile);
    std::string password;
    if (!std::getline(in, password)) {
        std::cerr << "directory_probe: cannot read " << passwordFile << "\n";
        return 2;
    }
    std::unique_ptr<ActiveDirectoryStore> const store = MakeStore();
    Credentials const credentials = {user.c_str(), password.c_str()};
    try {
        store->JoinDomain(domain, credentials, false);
        std::cout << "returned\n";
    } catch (std::exception const& e) {
        std::cout << "threw " << ClassName(e) << ": " << e.what() << "\n";
    }
    std::lock_guard<std::mutex> hold(sleepsLock);
    std::cout << "pauses:";
    for (unsigned seconds : sleeps) std::cout << " " << seconds;
    std::cout << (sleeps.empty() ? " none\n" : "\n");
    return 0;
}

// ---- lookups ---------------------------------------------------------------------------------

int Lookups(std::string const& domain, std::string const& name) {
    std::unique_ptr<ActiveDirectoryStore> const store = MakeStore();
    std::cout << "domain controller: " << store->GetDomainControllerForDomain(domain) << "\n"
              << "host principal: " << store->GetHostPrincipalForDomain(domain) << "\n"
              << "canonical name of " << name << ": " << store->ConvertCanonicalUsername(name)
              << "\n";
    return 0;
}

// ---- pam -------------------------------------------------------------------------------------

struct Conversation {
    std::string password;
    int prompts = 0;
};

int Converse(int count, pam_message const** messages, pam_response** responses, void* data) {
    Conversation* conversation = static_cast<Conversation*>(data);
    pam_response* answers = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
    if (answers == nullptr) return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        switch (messages[i]->msg_style) {
            case PAM_PROMPT_ECHO_OFF:
                ++conversation->prompts;
                answers[i].resp = strdup(conversation->password.c_str());
                break;
            case PAM_PROMPT_ECHO_ON:
                // Nothing but the password is ever asked for; an echoed prompt is unexpected.
                std::free(answers);
                return PAM_CONV_ERR;
            default:
                std::cerr << "pam: " << messages[i]->msg << "\n";
        }
    }
    *responses = answers;
    return PAM_SUCCESS;
}

// The failure delay pam_unix asks for is recorded instead of waited for.
unsigned failDelayMicroseconds = 0;
void RecordFailDelay(int, unsigned delay, void*) {
    failDelayMicroseconds = delay;
}

int Pam(std::string const& service, std::string const& user, std::string const& password) {
    Conversation conversation;
    conversation.password = password;
    pam_conv const conv = {Converse, &conversation};
    pam_handle_t* handle = nullptr;
    int rc = pam_start(service.c_str(), user.c_str(), &conv, &handle);
    if (rc != PAM_SUCCESS) {
        std::cout << "start " << rc << "\n";
        return 0;
    }
    void (*delay)(int, unsigned, void*) = RecordFailDelay;
    pam_set_item(handle, PAM_FAIL_DELAY, reinterpret_cast<void const*>(delay));
    rc = pam_authenticate(handle, 0);
    std::cout << "authenticate " << rc << " (" << pam_strerror(handle, rc) << ")\n";
    if (rc == PAM_SUCCESS) {
        int const account = pam_acct_mgmt(handle, 0);
        std::cout << "account " << account << " (" << pam_strerror(handle, account) << ")\n";
        void const* item = nullptr;
        pam_get_item(handle, PAM_USER, &item);
        std::cout << "user " << (item ? static_cast<char const*>(item) : "(none)") << "\n";
    }
    pam_end(handle, rc);
    return 0;
}

// ---- frozen-dc -------------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

template <class Query>
double Timed(Query query) {
    auto const start = Clock::now();
    query();
    return Seconds(Clock::now() - start);
}

struct Snapshot {
    Domain domain;
    std::string dn;
    bool operator==(Snapshot const& other) const {
        return domain == other.domain && dn == other.dn;
    }
};

std::string Text(Snapshot const& s) {
    std::ostringstream out;
    out << s.domain << ", DN: " << (s.dn.empty() ? "(unset)" : s.dn);
    return out.str();
}

Snapshot Configuration(ActiveDirectoryStore const& store) {
    std::unique_ptr<StoreConfiguration> made(store.GetStoreConfiguration());
    ActiveDirectoryStoreConfiguration const& ad =
        dynamic_cast<ActiveDirectoryStoreConfiguration const&>(*made);
    return Snapshot{ad.activeDomain, ad.machineAccountDN};
}

int failures = 0;

void Expect(bool ok, std::string const& what) {
    std::cout << (ok ? "ok    " : "FAIL  ") << what << "\n" << std::flush;
    if (!ok) ++failures;
}

std::string Format(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", seconds);
    return text;
}

bool Shell(std::string const& command) {
    int const status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A command that blocks on the frozen DC, bounded by timeout(1) whatever happens.
pid_t StartBlockedCommand() {
    char const* const argv[] = {"timeout", "90", "wbinfo", "-t", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int const rc =
        posix_spawnp(&pid, "timeout", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

void StopCommand(pid_t pid) {
    kill(pid, SIGTERM);  // timeout(1) passes it on to wbinfo
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

int FrozenDC(int timeout, std::string const& dn, TrustState healthy, std::string const& freeze,
             std::string const& thaw) {
    ActiveDirectoryStore store(timeout);
    double const limit = timeout + 1.0;  // scheduling slack on a busy two-core machine

    // While the DC answers: what the cache will hold.
    Snapshot const warm = Configuration(store);
    Expect(warm.dn == dn && !warm.domain.dnsName.empty(), "healthy DC: " + Text(warm));
    TrustState const before = store.GetDomainTrustState();
    Expect(before == healthy, "healthy DC: trust state " + std::to_string(before));

    if (!Shell(freeze)) return Expect(false, "freeze the DC"), 1;
    pid_t const blocked = StartBlockedCommand();
    Expect(blocked > 0, "wbinfo -t started");

    // The first query of each kind waits for its time-out, then answers from the cache.
    Snapshot frozen;
    double t = Timed([&] { frozen = Configuration(store); });
    Expect(t >= timeout - 0.05 && t <= limit,
           "frozen DC: first configuration query answered after " + Format(t));
    Expect(frozen == warm, "frozen DC: it answered from the cache");
    TrustState state = 0;
    // Up to two waits: the trusted-domains query runs first and may wait as well.
    t = Timed([&] { state = store.GetDomainTrustState(); });
    Expect(t >= timeout - 0.05 && t <= timeout + limit,
           "frozen DC: first trust-state query answered after " + Format(t));
    Expect(state == 2, "frozen DC: trust state " + std::to_string(state) + " (timed out)");

    // Later queries find their workers still in flight and answer from the cache at once.
    // The trust-state query first lists the trusted domains afresh, which winbindd answers
    // without the DC: those are bounded by the local round trip, not by the time-out.
    std::vector<double> configurationTimes, trustedTimes, trustTimes;
    bool sameAnswers = true;
    for (int i = 0; i < 25; ++i) {
        Snapshot again;
        configurationTimes.push_back(Timed([&] { again = Configuration(store); }));
        trustedTimes.push_back(Timed([&] { store.GetTrustedDomains(); }));
        trustTimes.push_back(Timed([&] { state = store.GetDomainTrustState(); }));
        sameAnswers = sameAnswers && again == warm && state == 2;
    }
    struct Row {
        char const* query;
        std::vector<double>* times;
        double medianLimit;
    };
    for (Row const& row :
         {Row{"configuration", &configurationTimes, 1e-3},
          Row{"trusted-domains", &trustedTimes, 0.1}, Row{"trust-state", &trustTimes, 0.1}}) {
        std::vector<double>& times = *row.times;
        std::sort(times.begin(), times.end());
        std::ostringstream s;
        s << "later " << row.query << " queries: median " << times[times.size() / 2] * 1e6
          << " us, slowest " << times.back() * 1e6 << " us";
        Expect(times[times.size() / 2] < row.medianLimit && times.back() < timeout / 2.0, s.str());
    }
    Expect(sameAnswers, "frozen DC: cached answers unchanged");
    bool const stillBlocked = blocked > 0 && waitpid(blocked, nullptr, WNOHANG) == 0;
    Expect(stillBlocked, "wbinfo -t still blocked meanwhile");
    if (blocked > 0) StopCommand(blocked);

    if (!Shell(thaw)) return Expect(false, "thaw the DC"), 1;
    // Fresh answers: the trust state leaves the time-out value once a worker gets through.
    auto const thawed = Clock::now();
    bool fresh = false;
    while (!fresh && Clock::now() - thawed < std::chrono::seconds(60)) {
        t = Timed([&] { state = store.GetDomainTrustState(); });
        fresh = state == healthy && t < timeout;
        if (!fresh) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    Expect(fresh, "thawed DC: trust state " + std::to_string(state) + " again after " +
                      Format(Seconds(Clock::now() - thawed)));
    Snapshot after;
    t = Timed([&] { after = Configuration(store); });
    Expect(after == warm && t < timeout, "thawed DC: configuration answered in " + Format(t));
    return failures == 0 ? 0 : 1;
}

// ---- reload ----------------------------------------------------------------------------------

int Reload(int rounds) {
    std::string first;
    std::mutex answersLock;
    int differing = 0;
    for (int round = 0; round < rounds; ++round) {
        auto provider = std::make_unique<ActiveDirectoryProvider>("samba");
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&] {
                std::ostringstream answer;
                try {
                    Domain const domain = provider->GetActiveDomain();
                    answer << domain.dnsName << " " << domain.netbiosName << " "
                           << provider->GetMachineAccountDN() << " trust "
                           << provider->GetDomainTrustState() << " trusts "
                           << provider->GetTrustedDomains().size();
                } catch (std::exception const& e) {
                    answer << "threw " << ClassName(e) << ": " << e.what();
                }
                std::lock_guard<std::mutex> hold(answersLock);
                if (first.empty()) first = answer.str();
                if (answer.str() != first) {
                    ++differing;
                    std::cout << "differs: " << answer.str() << "\n";
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
    }
    std::ifstream maps("/proc/self/maps");
    std::string line;
    bool loaded = false;
    while (std::getline(maps, line))
        loaded = loaded || line.find("libsamba.so") != std::string::npos;
    std::cout << first << "\n"
              << (differing == 0 ? "every answer the same" : "answers differ") << "; plug-in "
              << (loaded ? "still loaded" : "unloaded") << "\n";
    return 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) unsigned int sleep(unsigned int seconds) {
    std::lock_guard<std::mutex> hold(sleepsLock);
    sleeps.push_back(seconds);
    return 0;
}

int main(int argc, char** argv) {
    std::vector<std::string> const args(argv + 1, argv + argc);
    int status = 2;
    try {
        if (args.size() == 4 && args[0] == "join") {
            status = Join(args[1], args[2], args[3]);
        } else if (args.size() == 2 && args[0] == "reload") {
            status = Reload(std::atoi(args[1].c_str()));
        } else if (args.size() == 3 && args[0] == "lookups") {
            status = Lookups(args[1], args[2]);
        } else if (args.size() == 4 && args[0] == "pam") {
            status = Pam(args[1], args[2], args[3]);
        } else if (args.size() == 6 && args[0] == "frozen-dc") {
            status =
                FrozenDC(std::atoi(args[1].c_str()), args[2],
                         static_cast<TrustState>(std::atoi(args[3].c_str())), args[4], args[5]);
        } else {
            std::cerr << "usage: directory_probe join|lookups|reload|pam|frozen-dc ARGUMENT...\n";
            return 2;
        }
    } catch (std::exception const& e) {
        std::cout << "threw " << ClassName(e) << ": " << e.what() << "\n";
        status = 1;
    }
    // A worker may still be waiting on the directory: nothing is unloaded under it.
    std::cout.flush();
    std::_Exit(status);
}
