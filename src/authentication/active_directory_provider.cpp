#include <authentication/active_directory_provider.h>
#include <authentication/exceptions.h>
#include <authentication/status_mapping.h>
#include <dlfcn.h>
#include <syslog.h>
#include <unistd.h>

#include <locale>
#include <mutex>
#include <sstream>

#include "change_record.h"
#include "plugin_loader.h"

namespace ostrel {
namespace authentication {

namespace {

int const kHighestAPIVersion = 3;

int const kJoinAttempts = 8;
unsigned const kJoinRetryPause = 30;  // seconds

ADStatus const kTransientFailure = 0xFFFF0000u;
ADStatus const kLogonFailure = 1326;

// Credentials an administrator typed are wrong or right at once: retrying a logon failure
// only brings the account closer to its lockout threshold.
bool IsTransientCredentialJoinFailure(ADStatus status) {
    return status == kTransientFailure;
}

// A machine account the proxy has just created may not have reached the controller the
// join asks, which answers with a logon failure until it has.
bool IsTransientMachineAccountJoinFailure(ADStatus status) {
    return status == kTransientFailure || status == kLogonFailure;
}

std::mutex retryListenerLock;
JoinRetryListener retryListener = nullptr;
void* retryListenerContext = nullptr;

void TellRetry(int failedAttempt, ADStatus status) {
    JoinRetryListener listener;
    void* context;
    {
        std::lock_guard<std::mutex> hold(retryListenerLock);
        listener = retryListener;
        context = retryListenerContext;
    }
    if (listener != nullptr) {
        listener(failedAttempt, kJoinAttempts, kJoinRetryPause, status, context);
    }
}

void* LookUp(void* handle, char const* symbol, std::string const& name) {
    dlerror();
    void* address = dlsym(handle, symbol);
    if (address == nullptr) throw InvalidActiveDirectoryProviderException(name, LoaderError());
    return address;
}

void AppendWords(char const* words, std::list<std::string>& list) {
    if (words == nullptr) return;
    std::istringstream stream(words);
    // Blanks as the C locale knows them, whatever locale the caller has set.
    stream.imbue(std::locale::classic());
    std::string word;
    while (stream >> word) list.push_back(word);
}

// A slot of the plug-in's optional extension table (the index-th, from 1), or nullptr when the
// plug-in exports no such table or one too short to hold it. Looked up at each call, so that
// the class keeps its layout.
template <typename Slot>
Slot FindExtension(void* handle, std::int32_t index, Slot ADProviderExtensions::*slot) {
    dlerror();
    auto const* table =
        static_cast<ADProviderExtensions const*>(dlsym(handle, "ActiveDirectoryClientExtensions"));
    if (table == nullptr || table->count < index) return nullptr;
    return table->*slot;
}

template <typename Slot>
Slot Require(Slot slot) {
    if (slot == nullptr) throw CallNotImplementedException();
    return slot;
}

void Check(ADStatus status) {
    if (status != 0) ThrowMappedException(status);
}

// Hands what the plug-in returned back to its deallocator when the result has been built
// (or building it failed). A plug-in that left no deallocator has nothing to release.
class ReleaseOnExit {
public:
    ReleaseOnExit(ADDeallocator deallocator, void* pointer, bool releaseNull = true)
        : deallocator(deallocator), pointer(pointer), releaseNull(releaseNull) {}
    ~ReleaseOnExit() {
        if (deallocator != nullptr && (pointer != nullptr || releaseNull)) deallocator(pointer);
    }
    ReleaseOnExit(ReleaseOnExit const&) = delete;
    ReleaseOnExit& operator=(ReleaseOnExit const&) = delete;

private:
    ADDeallocator deallocator;
    void* pointer;
    bool releaseNull;
};

// Plug-in strings are never expected to be NULL inside results, but one that is must not
// bring the caller down.
std::string Text(char const* text) {
    return text != nullptr ? text : "";
}

char const* OrNull(std::string const& text) {
    return text.empty() ? nullptr : text.c_str();
}

template <typename Container>
std::vector<char const*> ToArray(Container const& strings) {
    std::vector<char const*> array;
    array.reserve(strings.size() + 1);
    for (std::string const& text : strings) array.push_back(text.c_str());
    array.push_back(nullptr);
    return array;
}

template <typename Container>
Container FromArray(char** array) {
    Container strings;
    if (array != nullptr) {
        for (char** entry = array; *entry != nullptr; ++entry) strings.push_back(*entry);
    }
    return strings;
}

// Adds what the plug-in says its last operation changed to the thread's list of changes.
// Called after each plug-in call that can change the host, whatever its status; a plug-in that
// cannot tell (no slot E4, or E4 fails) adds nothing.
void NoteProviderChanges(void* handle) {
    auto get = FindExtension(handle, 4, &ADProviderExtensions::GetLastChanges);
    if (get == nullptr) return;
    char** changes = nullptr;
    ADDeallocator deallocator = nullptr;
    ADStatus const status = get(&changes, &deallocator);
    ReleaseOnExit release(deallocator, changes);
    if (status != 0) return;
    for (std::string const& change : FromArray<std::vector<std::string>>(changes)) {
        NoteHostChange(change);
    }
}

template <typename Attempt>
void JoinWithRetries(bool (*isTransient)(ADStatus), Attempt attempt) {
    ADStatus status = 0;
    for (int number = 1; number <= kJoinAttempts; ++number) {
        status = attempt(number);
        if (!isTransient(status) || number == kJoinAttempts) break;
        TellRetry(number, status);
        sleep(kJoinRetryPause);
    }
    Check(status);
}

}  // namespace

void SetJoinRetryListener(JoinRetryListener listener, void* context) {
    std::lock_guard<std::mutex> hold(retryListenerLock);
    retryListener = listener;
    retryListenerContext = context;
}

ActiveDirectoryProvider::ActiveDirectoryProvider(std::string const& name)
    : handle(nullptr), metadata(nullptr), operations(nullptr) {
    if (name.empty()) throw InvalidActiveDirectoryProviderException("(unset)");
    std::string const problem = PluginNameProblem(name);
    if (!problem.empty()) throw InvalidActiveDirectoryProviderException(name, problem);

    void* opened = OpenPlugin(name);
    if (opened == nullptr) throw IOError("Unable to open provider: " + LoaderError());
    PluginGuard guard(opened);

    metadata = static_cast<ADProviderMetadata const*>(
        LookUp(opened, "ActiveDirectoryClientMetadata", name));
    if (metadata->apiVersion > kHighestAPIVersion) {
        throw InvalidActiveDirectoryProviderException(
            name, "The API version (" + std::to_string(metadata->apiVersion) +
                      ") is not supported by this version of libtslauth");
    }
    operations = static_cast<ADProviderOperations const*>(
        LookUp(opened, "ActiveDirectoryClientOperations", name));

    // Activation writes this module into the PAM configuration; without a name the entry
    // would name only the module directory.
    if (metadata->pamModule == nullptr || metadata->pamModule[0] == '\0') {
        throw InvalidActiveDirectoryProviderException(name, "The plug-in names no PAM module");
    }
    pamModule = metadata->pamModule;
    AppendWords(metadata->pamModuleParameters, pamModuleParameters);
    nssModule = Text(metadata->nssModule);
    AppendWords(metadata->nssModuleParameters, nssModuleParameters);
    handle = guard.Release();
}

ActiveDirectoryProvider::~ActiveDirectoryProvider() {
    dlclose(handle);
}

std::int32_t ActiveDirectoryProvider::GetAPIVersion() const {
    return operations->version;
}

void ActiveDirectoryProvider::JoinDomain(std::string const& domain,
                                         std::string const& computerContainer,
                                         Credentials const& credentials) const {
    auto join = Require(operations->JoinDomain);
    ChangeRecord record;
    JoinWithRetries(IsTransientCredentialJoinFailure, [&](int) {
        ADStatus const status = join(domain.c_str(), OrNull(computerContainer), &credentials);
        NoteProviderChanges(handle);
        return status;
    });
}

void ActiveDirectoryProvider::JoinDomain(std::string const& domain,
                                         std::string const& computerContainer,
                                         Credentials const& credentials,
                                         JoinOptions const& options) const {
    if (options.flags == 0) {
        JoinDomain(domain, computerContainer, credentials);
        return;
    }
    auto join = Require(FindExtension(handle, 2, &ADProviderExtensions::JoinDomainWithOptions));
    ChangeRecord record;
    JoinWithRetries(IsTransientCredentialJoinFailure, [&](int) {
        ADStatus const status =
            join(domain.c_str(), OrNull(computerContainer), &credentials, options.flags);
        NoteProviderChanges(handle);
        return status;
    });
}

bool ActiveDirectoryProvider::CanJoinWithOptions() const {
    return FindExtension(handle, 2, &ADProviderExtensions::JoinDomainWithOptions) != nullptr;
}

void ActiveDirectoryProvider::JoinDomainWithMachineAccount(
    QAP::DirectoryDomainInfo const& domainInfo,
    QAP::MachineAccountInfo const& machineAccountInfo) const {
    if (operations->version < 2) throw CallNotImplementedException();
    auto join = Require(operations->JoinDomainWithMachineAccount);
    ADDirectoryDomainInfo const domain = {
        domainInfo.reserved.c_str(), domainInfo.netBIOSDomainName.c_str(),
        domainInfo.dnsDomainName.c_str(), domainInfo.domainSID.c_str()};
    ADMachineAccountInfo const account = {
        machineAccountInfo.hostName.c_str(), machineAccountInfo.dnsDomainName.c_str(),
        machineAccountInfo.reserved.c_str(), machineAccountInfo.accountData1.c_str(),
        machineAccountInfo.accountData2.c_str()};
    ChangeRecord record;
    JoinWithRetries(IsTransientMachineAccountJoinFailure, [&](int number) {
        syslog(LOG_INFO, "Adding host to domain: Attempt (%d/%d)", number, kJoinAttempts);
        ADStatus const status = join(&domain, &account);
        NoteProviderChanges(handle);
        return status;
    });
}

void ActiveDirectoryProvider::PartDomain() const {
    auto part = Require(operations->PartDomain);
    ChangeRecord record;
    ADStatus const status = part(nullptr);
    NoteProviderChanges(handle);
    Check(status);
}

void ActiveDirectoryProvider::PartDomain(Credentials const& credentials) const {
    auto part = Require(operations->PartDomain);
    ChangeRecord record;
    ADStatus const status = part(&credentials);
    NoteProviderChanges(handle);
    Check(status);
}

Domain ActiveDirectoryProvider::GetActiveDomain() const {
    auto get = Require(operations->GetActiveDomain);
    ADDomainNames names = {nullptr, nullptr};
    ADDeallocator deallocator = nullptr;
    Check(get(&names, &deallocator));
    // Guards end in reverse order: the DNS name is released first.
    ReleaseOnExit releaseNetbiosName(deallocator, names.netbiosName, false);
    ReleaseOnExit releaseDnsName(deallocator, names.dnsName, false);
    return Domain(Text(names.dnsName), Text(names.netbiosName));
}

void ActiveDirectoryProvider::SetPreferredDomainControllers(
    std::deque<std::string> const& controllers) const {
    auto set = Require(operations->SetPreferredDomainControllers);
    std::vector<char const*> const array = ToArray(controllers);
    ChangeRecord record;
    ADStatus const status = set(array.data());
    NoteProviderChanges(handle);
    Check(status);
}

std::deque<std::string> ActiveDirectoryProvider::GetPreferredDomainControllers() const {
    auto get = Require(operations->GetPreferredDomainControllers);
    char** names = nullptr;
    ADDeallocator deallocator = nullptr;
    Check(get(&names, &deallocator));
    ReleaseOnExit release(deallocator, names);
    return FromArray<std::deque<std::string>>(names);
}

TrustState ActiveDirectoryProvider::GetDomainTrustState() const {
    return Require(operations->GetDomainTrustState)();
}

std::deque<Domain> ActiveDirectoryProvider::GetTrustedDomains() const {
    auto get = Require(operations->GetTrustedDomains);
    ADDomainNames** domains = nullptr;
    ADDeallocator deallocator = nullptr;
    Check(get(&domains, &deallocator));
    ReleaseOnExit release(deallocator, domains);
    std::deque<Domain> result;
    if (domains != nullptr) {
        for (ADDomainNames** entry = domains; *entry != nullptr; ++entry) {
            result.push_back(Domain(Text((*entry)->dnsName), Text((*entry)->netbiosName)));
        }
    }
    return result;
}

std::string ActiveDirectoryProvider::GetMachineAccountDN() const {
    auto get = Require(operations->GetMachineAccountDN);
    char* dn = nullptr;
    ADDeallocator deallocator = nullptr;
    Check(get(&dn, &deallocator));
    ReleaseOnExit release(deallocator, dn);
    return Text(dn);
}

std::string ActiveDirectoryProvider::GetAnyDomainController(std::string const& qualifier,
                                                            std::string const& domain) const {
    auto get = Require(operations->GetAnyDomainController);
    char* controller = nullptr;
    ADDeallocator deallocator = nullptr;
    Check(get(OrNull(qualifier), domain.c_str(), &controller, &deallocator));
    ReleaseOnExit release(deallocator, controller);
    return Text(controller);
}

std::string ActiveDirectoryProvider::ConvertCanonicalUsername(std::string const& name) const {
    auto convert = Require(operations->ConvertCanonicalUsername);
    char* canonical = nullptr;
    ADDeallocator deallocator = nullptr;
    Check(convert(name.c_str(), &canonical, &deallocator));
    ReleaseOnExit release(deallocator, canonical);
    return Text(canonical);
}

DirectoryAccount ActiveDirectoryProvider::LookupAccount(std::string const& name) const {
    auto lookUp = Require(FindExtension(handle, 3, &ADProviderExtensions::LookupAccount));
    char* canonical = nullptr;
    char* sid = nullptr;
    std::uint32_t isGroup = 0;
    ADDeallocator deallocator = nullptr;
    ADStatus const status = lookUp(name.c_str(), &canonical, &sid, &isGroup, &deallocator);
    // Like slot 3: each string released on its own, only when there is one.
    ReleaseOnExit releaseSid(deallocator, sid, false);
    ReleaseOnExit releaseCanonical(deallocator, canonical, false);
    Check(status);
    DirectoryAccount account;
    account.name = Text(canonical);
    account.sid = Text(sid);
    account.isGroup = isGroup != 0;
    return account;
}

std::string ActiveDirectoryProvider::GetHostPrincipalForDomain(std::string const& domain) const {
    if (operations->version < 2) throw CallNotImplementedException();
    auto get = Require(operations->GetHostPrincipalForDomain);
    char* principal = nullptr;
    ADDeallocator deallocator = nullptr;
    Check(get(domain.c_str(), &principal, &deallocator));
    ReleaseOnExit release(deallocator, principal);
    return Text(principal);
}

std::uint32_t ActiveDirectoryProvider::GetDomainTrustRelationship(std::string const& domain) const {
    return Require(operations->GetDomainTrustRelationship)(domain.c_str());
}

void ActiveDirectoryProvider::SetSmartCardEnabledServices(
    std::vector<std::string> const& services) const {
    auto set = Require(operations->SetSmartCardEnabledServices);
    std::vector<char const*> const array = ToArray(services);
    Check(set(array.data()));
}

std::vector<std::string> ActiveDirectoryProvider::GetSmartCardEnabledServices() const {
    auto get = Require(operations->GetSmartCardEnabledServices);
    char** services = nullptr;
    ADDeallocator deallocator = nullptr;
    Check(get(&services, &deallocator));
    ReleaseOnExit release(deallocator, services);
    return FromArray<std::vector<std::string>>(services);
}

std::string ActiveDirectoryProvider::GetLastErrorText() const {
    auto get = FindExtension(handle, 1, &ADProviderExtensions::GetLastErrorText);
    if (get == nullptr) return std::string();
    char* text = nullptr;
    ADDeallocator deallocator = nullptr;
    if (get(&text, &deallocator) != 0) return std::string();
    ReleaseOnExit release(deallocator, text);
    return Text(text);
}

std::vector<std::string> ActiveDirectoryProvider::GetLastChanges() const {
    auto get = Require(FindExtension(handle, 4, &ADProviderExtensions::GetLastChanges));
    char** changes = nullptr;
    ADDeallocator deallocator = nullptr;
    Check(get(&changes, &deallocator));
    ReleaseOnExit release(deallocator, changes);
    return FromArray<std::vector<std::string>>(changes);
}

}  // namespace authentication
}  // namespace ostrel
