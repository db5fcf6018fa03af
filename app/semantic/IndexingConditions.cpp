#include "app/semantic/IndexingConditions.h"

#include <unistd.h>

#include <cstdio>

namespace pallix {

uint64_t processResidentMemoryBytes() {
  FILE* file = std::fopen("/proc/self/statm", "r");
  if (!file) return 0;
  unsigned long long size = 0, resident = 0;
  const int read = std::fscanf(file, "%llu %llu", &size, &resident);
  std::fclose(file);
  if (read != 2) return 0;
  const long page = ::sysconf(_SC_PAGESIZE);
  return resident * static_cast<unsigned long long>(page > 0 ? page : 4096);
}

}  // namespace pallix
