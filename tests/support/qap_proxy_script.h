#ifndef TESTS_SUPPORT_QAP_PROXY_SCRIPT_H
#define TESTS_SUPPORT_QAP_PROXY_SCRIPT_H

// Scripts the scripted proxy-client plug-ins (tests/plugins/scripted_qap_proxy.c). A test
// holds one QAPProxyScript at a time; until set otherwise both operations answer status 0
// with NULL strings. Out-strings are written whatever the status.

#include "plugin_script.h"

namespace test_plugins {

// Words of the proxy client's table.
enum Word : int {
    kGetDomainInfo = 1,
    kCreateMachineAccount = 2,
};

// ReceivedCall::strings: word 1 server, thumbprint; word 2 server, host name, container,
// thumbprint. ReceivedCall::verifyCertificate holds the flag; outputsPresetNull whether
// every out-parameter came in NULL.
class QAPProxyScript {
public:
    QAPProxyScript();
    ~QAPProxyScript();  // releases hangs and waits for calls in flight
    QAPProxyScript(QAPProxyScript const&) = delete;
    QAPProxyScript& operator=(QAPProxyScript const&) = delete;

    void SetStatus(Word word, std::uint32_t status);
    void SetStatuses(Word word, std::vector<std::uint32_t> statuses);
    void SetDomainInfo(CString netBIOSDomainName, CString dnsDomainName, CString domainSID);
    void SetAccountData(CString accountData1, CString accountData2);

    void Hang(Word word);
    void Release(Word word);
    void WaitUntilBlocked(Word word, unsigned count = 1);

    unsigned Calls(Word word) const;
    std::vector<ReceivedCall> Received(Word word) const;
    // Every out-string handed out (NULL included), in order, and every string passed to the
    // table's release word, in order.
    std::vector<void const*> Returned() const;
    std::vector<void const*> Released() const;
    std::size_t Outstanding() const;
};

}  // namespace test_plugins

#endif
