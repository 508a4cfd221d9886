#include "qap_proxy_script.h"

#include <gtest/gtest.h>

#include "plugin_hooks.h"

namespace test_plugins {

namespace {

ScriptCore& Core() {
    static ScriptCore* core = new ScriptCore(2);
    return *core;
}

bool scriptAlive = false;

bool AllNull(std::initializer_list<char**> outputs) {
    for (char** output : outputs) {
        if (*output != nullptr) return false;
    }
    return true;
}

// Calls the script and writes each out-parameter from the scripted strings.
std::uint32_t Run(Word word, ReceivedCall received, std::initializer_list<char**> outputs) {
    received.outputsPresetNull = AllNull(outputs);
    ScriptCore::Entered const entered = Core().Enter(word, std::move(received));
    auto const& strings = entered.outputs.strings;
    std::size_t index = 0;
    for (char** output : outputs) {
        *output = Core().HandOutString(strings && index < strings->size() ? (*strings)[index]
                                                                          : std::nullopt);
        ++index;
    }
    Core().Leave();
    return entered.status;
}

std::uint32_t GetDomainInfo(char const* server, std::int32_t verify, char const* thumbprint,
                            char** netBIOSDomainName, char** dnsDomainName, char** domainSID) {
    ReceivedCall received;
    received.strings = {FromC(server), FromC(thumbprint)};
    received.verifyCertificate = verify;
    return Run(kGetDomainInfo, received, {netBIOSDomainName, dnsDomainName, domainSID});
}

std::uint32_t CreateMachineAccount(char const* server, char const* hostName, char const* container,
                                   std::int32_t verify, char const* thumbprint, char** accountData1,
                                   char** accountData2) {
    ReceivedCall received;
    received.strings = {FromC(server), FromC(hostName), FromC(container), FromC(thumbprint)};
    received.verifyCertificate = verify;
    return Run(kCreateMachineAccount, received, {accountData1, accountData2});
}

void ReleaseString(char* string) {
    Core().Deallocate(string);
}

}  // namespace

QAPProxyScript::QAPProxyScript() {
    if (scriptAlive) ADD_FAILURE() << "only one QAPProxyScript may exist at a time";
    scriptAlive = true;
    Core().Reset();
}

QAPProxyScript::~QAPProxyScript() {
    Core().Reset();
    scriptAlive = false;
}

void QAPProxyScript::SetStatus(Word word, std::uint32_t status) {
    Core().SetStatuses(word, {status});
}

void QAPProxyScript::SetStatuses(Word word, std::vector<std::uint32_t> statuses) {
    Core().SetStatuses(word, std::move(statuses));
}

void QAPProxyScript::SetDomainInfo(CString netBIOSDomainName, CString dnsDomainName,
                                   CString domainSID) {
    Core().SetOutputs(kGetDomainInfo,
                      std::vector<CString>{netBIOSDomainName, dnsDomainName, domainSID});
}

void QAPProxyScript::SetAccountData(CString accountData1, CString accountData2) {
    Core().SetOutputs(kCreateMachineAccount, std::vector<CString>{accountData1, accountData2});
}

void QAPProxyScript::Hang(Word word) {
    Core().Hang(word);
}
void QAPProxyScript::Release(Word word) {
    Core().Release(word);
}
void QAPProxyScript::WaitUntilBlocked(Word word, unsigned count) {
    Core().WaitUntilBlocked(word, count);
}

unsigned QAPProxyScript::Calls(Word word) const {
    return Core().Calls(word);
}
std::vector<ReceivedCall> QAPProxyScript::Received(Word word) const {
    return Core().Received(word);
}
std::vector<void const*> QAPProxyScript::Returned() const {
    return Core().Returned();
}
std::vector<void const*> QAPProxyScript::Released() const {
    return Core().Deallocated();
}
std::size_t QAPProxyScript::Outstanding() const {
    return Core().Outstanding();
}

}  // namespace test_plugins

// Found by the scripted proxy-client plug-ins with dlsym(RTLD_DEFAULT, ...).
extern "C" __attribute__((visibility("default"))) QAPProxyClientTable const*
TslauthTestQAPProxyHooks() {
    static QAPProxyClientTable const table = {nullptr, test_plugins::GetDomainInfo,
                                              test_plugins::CreateMachineAccount,
                                              test_plugins::ReleaseString};
    return &table;
}
