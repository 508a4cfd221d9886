#include "provider_script.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "plugin_hooks.h"

namespace test_plugins {

namespace {

// Never destroyed: a worker thread may still call into the plug-in while the program exits.
ScriptCore& Core() {
    static ScriptCore* core = new ScriptCore(16);
    return *core;
}

bool scriptAlive = false;

// One call of a hook, from entering the script until the hook returns.
class ActiveCall {
public:
    explicit ActiveCall(Slot slot, ReceivedCall received = ReceivedCall())
        : entered(Core().Enter(slot, std::move(received))) {}
    ~ActiveCall() { Core().Leave(); }

    std::uint32_t Status() const { return entered.status; }
    CString Output(std::size_t index) const {
        auto const& strings = entered.outputs.strings;
        return strings && index < strings->size() ? (*strings)[index] : std::nullopt;
    }
    std::optional<std::vector<CString>> const& Array() const { return entered.outputs.strings; }
    auto const& Pairs() const { return entered.outputs.pairs; }
    ADStatus Finish(ADDeallocator* deallocator) const {
        if (entered.outputs.givesDeallocator) *deallocator = [](void* p) { Core().Deallocate(p); };
        return entered.status;
    }

private:
    ScriptCore::Entered entered;
};

std::optional<std::vector<std::string>> ReadArray(char const* const* array) {
    if (array == nullptr) return std::nullopt;
    std::vector<std::string> entries;
    for (; *array != nullptr; ++array) entries.push_back(*array);
    return entries;
}

ReceivedCall WithCredentials(std::vector<CString> strings, Credentials const* credentials) {
    ReceivedCall received;
    received.strings = std::move(strings);
    received.credentials = credentials;
    if (credentials != nullptr) {
        received.strings.push_back(FromC(credentials->userName));
        received.strings.push_back(FromC(credentials->password));
    }
    return received;
}

ReceivedCall WithStrings(std::vector<CString> strings) {
    ReceivedCall received;
    received.strings = std::move(strings);
    return received;
}

ReceivedCall WithArray(char const* const* array) {
    ReceivedCall received;
    received.array = ReadArray(array);
    return received;
}

ADStatus JoinDomain(char const* domain, char const* container, Credentials const* credentials) {
    return ActiveCall(kJoinDomain, WithCredentials({FromC(domain), FromC(container)}, credentials))
        .Status();
}

ADStatus PartDomain(Credentials const* credentials) {
    return ActiveCall(kPartDomain, WithCredentials({}, credentials)).Status();
}

ADStatus GetActiveDomain(ADDomainNames* names, ADDeallocator* deallocator) {
    ReceivedCall received;
    received.outputsPresetNull = names->dnsName == nullptr && names->netbiosName == nullptr;
    ActiveCall call(kGetActiveDomain, received);
    names->dnsName = Core().HandOutString(call.Output(0));
    names->netbiosName = Core().HandOutString(call.Output(1));
    return call.Finish(deallocator);
}

ADStatus SetPreferredDomainControllers(char const* const* names) {
    return ActiveCall(kSetPreferredDomainControllers, WithArray(names)).Status();
}

ADStatus GetPreferredDomainControllers(char*** names, ADDeallocator* deallocator) {
    ActiveCall call(kGetPreferredDomainControllers);
    *names = Core().HandOutArray(call.Array());
    return call.Finish(deallocator);
}

TrustState GetDomainTrustState() {
    return ActiveCall(kGetDomainTrustState).Status();
}

ADStatus GetTrustedDomains(ADDomainNames*** domains, ADDeallocator* deallocator) {
    ActiveCall call(kGetTrustedDomains);
    if (!call.Pairs()) {
        *domains = nullptr;
        Core().HandOut(nullptr, nullptr);
        return call.Finish(deallocator);
    }
    std::size_t const count = call.Pairs()->size();
    auto array = static_cast<ADDomainNames**>(std::calloc(count + 1, sizeof(ADDomainNames*)));
    for (std::size_t i = 0; i < count; ++i) {
        auto const& pair = (*call.Pairs())[i];
        array[i] = static_cast<ADDomainNames*>(std::malloc(sizeof(ADDomainNames)));
        array[i]->dnsName = pair.first ? strdup(pair.first->c_str()) : nullptr;
        array[i]->netbiosName = pair.second ? strdup(pair.second->c_str()) : nullptr;
    }
    Core().HandOut(array, [array, count] {
        for (std::size_t i = 0; i < count; ++i) {
            std::free(array[i]->dnsName);
            std::free(array[i]->netbiosName);
            std::free(array[i]);
        }
        std::free(array);
    });
    *domains = array;
    return call.Finish(deallocator);
}

ADStatus StringResult(Slot slot, ReceivedCall received, char** result, ADDeallocator* deallocator) {
    ActiveCall call(slot, std::move(received));
    *result = Core().HandOutString(call.Output(0));
    return call.Finish(deallocator);
}

ADStatus GetMachineAccountDN(char** dn, ADDeallocator* deallocator) {
    return StringResult(kGetMachineAccountDN, ReceivedCall(), dn, deallocator);
}

ADStatus GetAnyDomainController(char const* qualifier, char const* domain, char** controller,
                                ADDeallocator* deallocator) {
    return StringResult(kGetAnyDomainController, WithStrings({FromC(qualifier), FromC(domain)}),
                        controller, deallocator);
}

ADStatus ConvertCanonicalUsername(char const* name, char** canonical, ADDeallocator* deallocator) {
    return StringResult(kConvertCanonicalUsername, WithStrings({FromC(name)}), canonical,
                        deallocator);
}

ADStatus JoinDomainWithMachineAccount(ADDirectoryDomainInfo const* domain,
                                      ADMachineAccountInfo const* account) {
    ReceivedCall received;
    if (domain != nullptr) {
        received.strings = {FromC(domain->reserved), FromC(domain->netBIOSDomainName),
                            FromC(domain->dnsDomainName), FromC(domain->domainSID)};
    }
    if (account != nullptr) {
        for (char const* text : {account->hostName, account->dnsDomainName, account->reserved,
                                 account->accountData1, account->accountData2}) {
            received.strings.push_back(FromC(text));
        }
    }
    return ActiveCall(kJoinDomainWithMachineAccount, received).Status();
}

ADStatus GetHostPrincipalForDomain(char const* domain, char** principal,
                                   ADDeallocator* deallocator) {
    return StringResult(kGetHostPrincipalForDomain, WithStrings({FromC(domain)}), principal,
                        deallocator);
}

std::uint32_t GetDomainTrustRelationship(char const* domain) {
    return ActiveCall(kGetDomainTrustRelationship, WithStrings({FromC(domain)})).Status();
}

ADStatus SetSmartCardEnabledServices(char const* const* services) {
    return ActiveCall(kSetSmartCardEnabledServices, WithArray(services)).Status();
}

ADStatus GetSmartCardEnabledServices(char*** services, ADDeallocator* deallocator) {
    ActiveCall call(kGetSmartCardEnabledServices);
    *services = Core().HandOutArray(call.Array());
    return call.Finish(deallocator);
}

}  // namespace

ProviderScript::ProviderScript() {
    if (scriptAlive) ADD_FAILURE() << "only one ProviderScript may exist at a time";
    scriptAlive = true;
    Core().Reset();
}

ProviderScript::~ProviderScript() {
    Core().Reset();
    scriptAlive = false;
}

void ProviderScript::SetStatus(Slot slot, std::uint32_t status) {
    Core().SetStatuses(slot, {status});
}

void ProviderScript::SetStatuses(Slot slot, std::vector<std::uint32_t> statuses) {
    Core().SetStatuses(slot, std::move(statuses));
}

void ProviderScript::SetActiveDomain(CString dnsName, CString netbiosName) {
    Core().SetOutputs(kGetActiveDomain, std::vector<CString>{dnsName, netbiosName});
}

void ProviderScript::SetString(Slot slot, CString value) {
    Core().SetOutputs(slot, std::vector<CString>{value});
}

void ProviderScript::SetArray(Slot slot, std::optional<std::vector<CString>> entries) {
    Core().SetOutputs(slot, std::move(entries));
}

void ProviderScript::SetTrustedDomains(
    std::optional<std::vector<std::pair<CString, CString>>> domains) {
    Core().SetPairs(kGetTrustedDomains, std::move(domains));
}

void ProviderScript::SetGivesDeallocator(Slot slot, bool gives) {
    Core().SetGivesDeallocator(slot, gives);
}

void ProviderScript::Hang(Slot slot) {
    Core().Hang(slot);
}
void ProviderScript::Release(Slot slot) {
    Core().Release(slot);
}
void ProviderScript::WaitUntilBlocked(Slot slot, unsigned count) {
    Core().WaitUntilBlocked(slot, count);
}

unsigned ProviderScript::Calls(Slot slot) const {
    return Core().Calls(slot);
}
std::vector<ReceivedCall> ProviderScript::Received(Slot slot) const {
    return Core().Received(slot);
}
std::vector<void const*> ProviderScript::Returned() const {
    return Core().Returned();
}
std::vector<void const*> ProviderScript::Deallocated() const {
    return Core().Deallocated();
}
std::size_t ProviderScript::Outstanding() const {
    return Core().Outstanding();
}

}  // namespace test_plugins

// Found by the scripted provider plug-ins with dlsym(RTLD_DEFAULT, ...).
extern "C" __attribute__((visibility("default"))) ADProviderOperations const*
TslauthTestProviderHooks() {
    using namespace test_plugins;
    static ADProviderOperations const table = {
        2,
        JoinDomain,
        PartDomain,
        GetActiveDomain,
        SetPreferredDomainControllers,
        GetPreferredDomainControllers,
        nullptr,
        GetDomainTrustState,
        GetTrustedDomains,
        GetMachineAccountDN,
        GetAnyDomainController,
        ConvertCanonicalUsername,
        JoinDomainWithMachineAccount,
        GetHostPrincipalForDomain,
        GetDomainTrustRelationship,
        SetSmartCardEnabledServices,
        GetSmartCardEnabledServices,
    };
    return &table;
}
