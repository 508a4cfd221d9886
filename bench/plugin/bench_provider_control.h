/* What the benchmark plug-in exports besides the provider symbols, so that a benchmark can
 * make the workers' calls hang and see where they are. Slots are numbered as in the
 * operations table (3 GetActiveDomain, 8 GetTrustedDomains, ...). */
#ifndef BENCH_PROVIDER_CONTROL_H
#define BENCH_PROVIDER_CONTROL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Calls of the slot block from now on, until BenchProviderRelease. */
void BenchProviderHold(int slot);
void BenchProviderRelease(int slot);
/* Calls blocked in the slot now. */
unsigned BenchProviderBlocked(int slot);
/* Calls of the slot that have returned so far. */
unsigned long BenchProviderReturned(int slot);

#ifdef __cplusplus
}
#endif

#endif
