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

std::string relativeAge(Date date, Date now) {
  using std::chrono::duration_cast;
  const auto seconds = duration_cast<std::chrono::seconds>(now - date).count();
  if (seconds < 60) return "just now";
  if (seconds < 3600) return std::to_string(seconds / 60) + " min ago";
  if (seconds < 86400) return std::to_string(seconds / 3600) + " h ago";
  if (seconds < 2 * 86400) return "yesterday";
  if (seconds < 7 * 86400) return std::to_string(seconds / 86400) + " days ago";
  const std::time_t t = std::chrono::system_clock::to_time_t(date);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  char buffer[16];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &tm);
  return buffer;
}

}  // namespace pallix
