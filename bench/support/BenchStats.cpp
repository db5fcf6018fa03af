#include "bench/support/BenchStats.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

namespace pallix::bench {
namespace {

double clockSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double rank = std::clamp(fraction, 0.0, 1.0) * static_cast<double>(values.size() - 1);
  return values[static_cast<std::size_t>(std::lround(rank))];
}

double processCpuSeconds() {
  return clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
}

double threadCpuSeconds() {
  return clockSeconds(CLOCK_THREAD_CPUTIME_ID);
}

double processCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line) || line.rfind(')') == std::string::npos) return 0;
  // Fields after the command name, which may hold spaces; utime and stime are the 14th and 15th.
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stol(field);
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace pallix::bench
