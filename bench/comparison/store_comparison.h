#ifndef BENCH_COMPARISON_STORE_COMPARISON_H
#define BENCH_COMPARISON_STORE_COMPARISON_H

#include <string>

#include "report.h"

namespace bench {

// The store and the provider wrapper against the machine's floors: MakeActive with durable
// writes on the disk, cached queries, the worker round trip, time-outs, plug-in loading and
// the mapped exceptions.
void CompareStore(Report& report, bool quick, std::string const& diskDirectory);

}  // namespace bench

#endif
