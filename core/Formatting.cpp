#include "core/Formatting.h"

#include <ctime>

#include "core/Strings.h"

namespace pallix {

std::string humanSize(int64_t bytes) {
  static constexpr const char* kUnits[] = {"B", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1000 && unit < 4) {
    value /= 1000;
    ++unit;
  }
  return unit == 0 ? stringPrintf("%lld B", static_cast<long long>(bytes))
                   : stringPrintf("%.1f %s", value, kUnits[unit]);
}

std::string isoDate(Date date) {
  std::time_t t = std::chrono::system_clock::to_time_t(date);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buffer;
}

std::string isoDate(std::optional<Date> date) {
  return date ? isoDate(*date) : std::string();
}

}  // namespace pallix
