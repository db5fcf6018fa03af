// Order statistics and CPU time shared by the benchmarks, so that every report
// means the same thing by "p95" and by "CPU time".
#pragma once

#include <sys/types.h>

#include <vector>

namespace pallix::bench {

// The value at `fraction` of the way through the sorted `values` (0 the
// smallest, 0.5 the median, 0.95 the 95th percentile, 1 the largest), by the
// nearest rank; 0 when there are none.
double percentile(std::vector<double> values, double fraction);

// CPU seconds, user and system, used so far by this process, by the calling
// thread, or by process `pid` (0 when it cannot be read).
double processCpuSeconds();
double threadCpuSeconds();
double processCpuSeconds(pid_t pid);

}  // namespace pallix::bench
