// What the directory suite (cases.sh) checks from inside one process on a lab member; see main
// for the modes. The program stands in for sleep(3): a join's pauses are recorded, not waited for.
#include <authentication/authentication.h>
#include <cxxabi.h>
#include <link.h>
#include <security/pam_appl.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
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
    std::getline(std::ifstream(passwordFile), password);
    try {
        ActiveDirectoryStore(60).JoinDomain(domain, {user.c_str(), password.c_str()}, false);
        std::cout << "returned\n";
    } catch (std::exception const& e) {
        std::cout << Threw(e) << "\n";
    }
    std::lock_guard<std::mutex> hold(sleepsLock);  // a worker may still be pausing
    std::cout << "pauses:" << (sleeps.empty() ? " none" : "");
    for (unsigned seconds : sleeps) std::cout << " " << seconds;
    return std::cout << "\n", 0;
}

// What a join through the enrolment service asks of it, through the library's proxy client with
// the thumbprint the host imported, without the join that follows: "ACCOUNT".
int Enrol(std::string const& server, std::string const& hostName) {
    QAPProxy const proxy(
        "qapclient", server, true,
        QAPThumbprintStore("/etc/ostrel/tslauth/qapservers.conf").LookupThumbprint(server));
    proxy.GetDNSDomainName();
    ComputerPrincipalInfo const made = proxy.CreateMachineAccount(hostName, "");
    std::cout << made.accountData1 << (made.accountData2.empty() ? " without provisioning" : "")
              << "\n";
    return 0;
}

// Asks the loader, not /proc/self/maps: a checker that reads the plug-in's symbols for a
// report maps the file itself, read-only, and keeps it mapped.
bool PluginLoaded() {
    bool loaded = false;
    dl_iterate_phdr(
        [](dl_phdr_info* object, size_t, void* found) {
            if (std::strstr(object->dlpi_name, "/libsamba.so") != nullptr)
                *static_cast<bool*>(found) = true;
            return 0;
        },
        &loaded);
    return loaded;
}

std::string Hex(std::uint32_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
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
    for (std::string const& answer : answers) std::cout << answer << "\n";
    std::cout << "plug-in " << (PluginLoaded() ? "still loaded" : "unloaded") << "\n";
    ActiveDirectoryStore const store(60);                       // as the factory makes it
    auto const shown = [](auto const& answer) -> std::string {  // an exception as its text
        try {
            return answer();
        } catch (std::exception const& e) {
            return Threw(e);
        }
    };
    std::cout << "domain controller: " << store.GetDomainControllerForDomain(domain) << "\n"
              << "host principal: " << store.GetHostPrincipalForDomain(domain) << "\n"
              << "canonical name of " << name << ": "
              << shown([&] { return store.ConvertCanonicalUsername(name); }) << "\n"
              << "relationship of " << domain << ": "
              << Hex(store.GetDomainTrustRelationship(domain)) << "\n";
    for (Domain const& trusted : store.GetTrustedDomains())
        std::cout << "trusted: " << trusted << ", relationship "
                  << Hex(store.GetDomainTrustRelationship(trusted.dnsName)) << " / "
                  << Hex(store.GetDomainTrustRelationship(trusted.netbiosName)) << "\n";
    return 0;
}

int Converse(int count, pam_message const** messages, pam_response** responses, void* password) {
    auto* answers = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
    for (int i = 0; answers != nullptr && i < count; ++i)  // only the password is asked for
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF)
            answers[i].resp = strdup(static_cast<std::string*>(password)->c_str());
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
double Timed(Query query) {
    auto const start = Clock::now();
    query();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One store's answers, "WHEN: DN trust STATE", while the DC answers, frozen and thawed. Frozen,
// each query waits for its time-out once, then answers from the cache (the trust state's twice at
// most: the trusted-domains query it runs first may wait as well; 1 s for scheduling on a busy
// two-core machine). Thawed, a worker gets through within a minute, and winbindd, which the DC
// watcher switched offline, is back online.
int FrozenDC(int timeout, std::string const& freeze, std::string const& thaw) {
    ActiveDirectoryStore store(timeout);
    std::string dn;
    TrustState state = 0;
    auto const configuration = [&] {
        std::unique_ptr<StoreConfiguration> made(store.GetStoreConfiguration());
        dn = dynamic_cast<ActiveDirectoryStoreConfiguration const&>(*made).machineAccountDN;
    };
    auto const trust = [&] { state = store.GetDomainTrustState(); };
    auto const step = [&](char const* when, double configurationBound, double trustBound) {
        double const c = Timed(configuration), t = Timed(trust);
        std::cout << when << ": " << dn << " trust " << state;
        if (c > configurationBound || t > trustBound) std::cout << " after " << c << " s, " << t;
        std::cout << "\n";
    };
    step("healthy", timeout, timeout);
    if (std::system(freeze.c_str()) != 0) return 1;
    step("frozen", timeout + 1.0, 2 * timeout + 1.0);
    if (std::system(thaw.c_str()) != 0) return 1;
    for (auto const thawed = Clock::now(); Clock::now() - thawed < std::chrono::seconds(60);) {
        if (Timed(trust) < timeout && state != 2 && state != 5) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    step("thawed", timeout, timeout);
    return 0;
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
        else if (a.size() == 3 && a[0] == "enrol")  // SERVER HOST-NAME
            status = Enrol(a[1], a[2]);
        else if (a.size() == 4 && a[0] == "frozen-dc")  // TIMEOUT FREEZE THAW
            status = FrozenDC(std::atoi(a[1].c_str()), a[2], a[3]);
    } catch (std::exception const& e) {
        std::cout << Threw(e) << "\n";
        status = 1;
    }
    // A worker may still be waiting on the directory: nothing is unloaded under it.
    std::cout.flush();
    std::_Exit(status);
}
