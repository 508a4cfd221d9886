#ifndef BENCH_COMPARISON_FILE_COMPARISON_H
#define BENCH_COMPARISON_FILE_COMPARISON_H

#include "report.h"

namespace bench {

// PAM and name-service switch files on a tmpfs: the library's read + edit + write against
// Augeas's load + the same edit + save, on the same generated files, and the bare replacement
// of the file.
void CompareFiles(Report& report, bool quick);

// How the library's cycle grows with the file: twice the size against the size.
void CompareGrowth(Report& report, bool quick);

}  // namespace bench

#endif
