// What the directory suite (cases.sh) checks from inside one process on a lab member; see main
// for the modes. The program stands in for sleep(3): a join's pauses are recorded, not waited for.
#include <authentication/authentication.h>
#include <cxxabi.h>
#include <security/pam_appl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace ostrel::authentication;

std::mutex sleepsLock;
std::vector<unsigned> sleeps;

std::string Threw(std::exception const& e) {
    int status = 0;
    char* name = abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status);
    std::string const result =
        "threw " + std::string(status == 0 ? name : typeid(e).name()) + ": " + e.what();
    std::free(name);
    return result;
}

int Join(std::string const& domain, std::string const& user, std::string const& passwordFile) {
    std::string password;
    if (!std::getline(std::ifstream(passwordFile), password))
        throw std::runtime_error("cannot read " + passwordFile);
    try {
        ActiveDirectoryStore(60).JoinDomain(domain, {user.c_str(), password.c_str()}, false);
        std::cout << "returned\n";
    } catch (std::exception const& e) {
        std::cout << Threw(e) << "\n";
    }
    std::lock_guard<std::mutex> hold(sleepsLock);
    std::cout << "pauses:" << (sleeps.empty() ? " none" : "");
    for (unsigned seconds : sleeps) std::cout << " " << seconds;
    std::cout << "\n";
    return 0;
}

int Answers(std::string const& domain, std::string const& name, int rounds) {
    std::set<std::string> answers;  // more than one when they differ
    std::mutex answersLock;
    for (int round = 0; round < rounds; ++round) {
        auto provider = std::make_unique<ActiveDirectoryProvider>("samba");
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&] {
                Domain const active = provider->GetActiveDomain();
                std::ostringstream answer;
                answer << active.dnsName << " " << active.netbiosName << " "
                       << provider->GetMachineAccountDN() << " trust "
                       << provider->GetDomainTrustState() << " trusts "
                       << provider->GetTrustedDomains().size();
                std::lock_guard<std::mutex> hold(answersLock);
                answers.insert(answer.str());
            });
        for (std::thread& thread : threads) thread.join();
    }
    std::ifstream maps("/proc/self/maps");
    std::string const mapped((std::istreambuf_iterator<char>(maps)), {});
    for (std::string const& answer : answers) std::cout << answer << "\n";
    std::cout << "plug-in "
              << (mapped.find("libsamba.so") == std::string::npos ? "unloaded" : "still loaded")
              << "\n";
    ActiveDirectoryStore const store(60);  // as the factory makes it
    std::cout << "domain controller: " << store.GetDomainControllerForDomain(domain) << "\n"
              << "host principal: " << store.GetHostPrincipalForDomain(domain) << "\n"
              << "canonical name of " << name << ": " << store.ConvertCanonicalUsername(name)
              << "\n";
    return 0;
}

int Converse(int count, pam_message const** messages, pam_response** responses, void* password) {
    auto* answers = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
    for (int i = 0; answers != nullptr && i < count; ++i) {
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_ON) return std::free(answers), PAM_CONV_ERR;
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF)  // only the password is asked for
            answers[i].resp = strdup(static_cast<std::string*>(password)->c_str());
    }
    *responses = answers;
    return answers == nullptr ? PAM_BUF_ERR : PAM_SUCCESS;
}

int Pam(std::string const& service, std::string const& user, std::string password) {
    pam_conv const conv = {Converse, &password};
    pam_handle_t* handle = nullptr;
    int rc = pam_start(service.c_str(), user.c_str(), &conv, &handle);
    if (rc != PAM_SUCCESS) return std::cout << "start " << rc << "\n", 0;
    // The failure delay pam_unix asks for is not waited for.
    void (*noDelay)(int, unsigned, void*) = [](int, unsigned, void*) {};
    pam_set_item(handle, PAM_FAIL_DELAY, reinterpret_cast<void const*>(noDelay));
    rc = pam_authenticate(handle, 0);
    std::cout << "authenticate " << rc << " (" << pam_strerror(handle, rc) << ")\n";
    if (rc == PAM_SUCCESS) {
        int const account = pam_acct_mgmt(handle, 0);
        void const* item = nullptr;
        pam_get_item(handle, PAM_USER, &item);
        std::cout << "account " << account << " (" << pam_strerror(handle, account) << ")\n"
                  << "user " << (item ? static_cast<char const*>(item) : "(none)") << "\n";
    }
    pam_end(handle, rc);
    return 0;
}

using Clock = std::chrono::steady_clock;

template <class Query>
double Timed(Query query, Clock::time_point start = Clock::now()) {
    query();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int failures = 0;
void Expect(bool ok, std::string const& what) {
    std::cout << (ok ? "ok    " : "FAIL  ") << what << "\n" << std::flush;
    failures += ok ? 0 : 1;
}

int FrozenDC(int timeout, std::string const& dn, TrustState healthy, std::string const& freeze,
             std::string const& thaw) {
    ActiveDirectoryStore store(timeout);
    double const slack = 1.0;               // scheduling on a busy two-core machine
    std::pair<Domain, std::string> answer;  // the active domain, the machine account DN
    TrustState state = 0;
    auto const configuration = [&] {
        std::unique_ptr<StoreConfiguration> made(store.GetStoreConfiguration());
        auto const& ad = dynamic_cast<ActiveDirectoryStoreConfiguration const&>(*made);
        answer = {ad.activeDomain, ad.machineAccountDN};
    };
    auto const trust = [&] { state = store.GetDomainTrustState(); };
    auto const seen = [&](double t) {
        return answer.first.dnsName + " " + answer.second + ", trust state " +
               std::to_string(state) + " after " + std::to_string(t) + " s";
    };

    configuration();  // while the DC answers: what the cache will hold
    auto const warm = answer;
    double t = Timed(trust);
    Expect(warm.second == dn && !warm.first.dnsName.empty() && state == healthy,
           "healthy DC: " + seen(t));
    if (std::system(freeze.c_str()) != 0) return Expect(false, "freeze the DC"), 1;
    // The first query of each kind waits for its time-out, then answers from the cache; the
    // trust state's twice at most (the trusted-domains query it runs first may wait as well).
    t = Timed(configuration);
    Expect(t >= timeout - 0.05 && t <= timeout + slack && answer == warm,
           "frozen DC: first configuration: " + seen(t));
    t = Timed(trust);
    Expect(t >= timeout - 0.05 && t <= 2 * timeout + slack && state == 2,
           "frozen DC: first trust state (2: timed out): " + seen(t));

    // Later queries find their workers still in flight and answer from the cache at once. The
    // trusted domains come from winbindd without the DC: bounded by the local round trip.
    std::vector<double> times[3];
    bool same = true;
    for (int i = 0; i < 25; ++i) {
        times[0].push_back(Timed(configuration));
        times[1].push_back(Timed([&] { store.GetTrustedDomains(); }));
        times[2].push_back(Timed(trust));
        same = same && answer == warm && state == 2;
    }
    Expect(same, "frozen DC: later answers from the cache, unchanged");
    char const* const names[] = {"configuration", "trusted-domains", "trust-state"};
    for (int q = 0; q < 3; ++q) {
        std::sort(times[q].begin(), times[q].end());
        Expect(times[q][12] < (q == 0 ? 1e-3 : 0.1) && times[q].back() < timeout / 2.0,
               std::string("later ") + names[q] + " queries: median " +
                   std::to_string(times[q][12]) + " s, slowest " + std::to_string(times[q].back()) +
                   " s");
    }

    if (std::system(thaw.c_str()) != 0) return Expect(false, "thaw the DC"), 1;
    // Fresh answers: the trust state leaves the time-out value once a worker gets through.
    auto const thawed = Clock::now();
    while ((t = Timed(trust)) >= timeout || state != healthy) {
        if (Clock::now() - thawed > std::chrono::seconds(60)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    Expect(state == healthy && t < timeout, "thawed DC: " + seen(Timed([] {}, thawed)));
    t = Timed(configuration);
    Expect(answer == warm && t < timeout, "thawed DC: configuration " + seen(t));
    return failures == 0 ? 0 : 1;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) unsigned int sleep(unsigned int seconds) {
    std::lock_guard<std::mutex> hold(sleepsLock);
    sleeps.push_back(seconds);
    return 0;
}

int main(int argc, char** argv) {
    std::vector<std::string> const a(argv + 1, argv + argc);
    int status = 2;
    try {  // join DOMAIN USER PASSWORD-FILE: what a join threw and the pauses it asked for
        if (a.size() == 4 && a[0] == "join")
            status = Join(a[1], a[2], a[3]);
        else if (a.size() == 4 && a[0] == "answers")  // DOMAIN NAME ROUNDS
            status = Answers(a[1], a[2], std::atoi(a[3].c_str()));
        else if (a.size() == 4 && a[0] == "pam")  // SERVICE USER PASSWORD
            status = Pam(a[1], a[2], a[3]);
        else if (a.size() == 6 && a[0] == "frozen-dc")  // TIMEOUT DN TRUST-STATE FREEZE THAW
            status = FrozenDC(std::atoi(a[1].c_str()), a[2],
                              static_cast<TrustState>(std::atoi(a[3].c_str())), a[4], a[5]);
    } catch (std::exception const& e) {
        std::cout << Threw(e) << "\n";
        status = 1;
    }
    // A worker may still be waiting on the directory: nothing is unloaded under it.
    std::cout.flush();
    std::_Exit(status);
}
