#ifndef BENCH_SUPPORT_PROVIDER_CONTROL_H
#define BENCH_SUPPORT_PROVIDER_CONTROL_H

// The benchmark plug-in's controls (plugin/bench_provider_control.h), found in the process
// once a store or provider has loaded the plug-in: the library loads it with global symbols.

namespace bench {

enum ProviderSlot : int {
    kGetActiveDomainSlot = 3,
    kGetDomainTrustStateSlot = 7,
    kGetTrustedDomainsSlot = 8,
    kGetMachineAccountDNSlot = 9,
};

class ProviderControl {
public:
    // Throws std::runtime_error when the plug-in is not loaded.
    ProviderControl();

    void Hold(int slot) const;
    void Release(int slot) const;
    unsigned Blocked(int slot) const;
    unsigned long Returned(int slot) const;
    void WaitUntilBlocked(int slot, unsigned count = 1) const;
    void WaitUntilReturned(int slot, unsigned long count) const;

private:
    void (*hold)(int);
    void (*release)(int);
    unsigned (*blocked)(int);
    unsigned long (*returned)(int);
};

}  // namespace bench

#endif
