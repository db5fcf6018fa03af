// WeatherQueryAnalyzer: reads a weather intent out of free text (is it about
// weather, for which place, for which time focus) with fixed word tables and
// no model. Used by the intelligence coordinator for fallback routing and the
// weather availability test, and by the weather source to build its lookup.
//
// A value type: "now" and the time zone (for the date detector) are inputs,
// so results are deterministic in tests. Thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/intelligence/DateDetector.h"

namespace pallix {

// `day` (a later day: "on friday") and `weekend` ("this weekend") extend the
// five focuses of the question's time: people also ask about later days.
enum class WeatherForecastFocus { current, nextHour, today, tonight, tomorrow, day, weekend };
// "current", "next_hour", "today", "tonight", "tomorrow", "day", "weekend".
const char* weatherForecastFocusRawValue(WeatherForecastFocus focus);
std::optional<WeatherForecastFocus> weatherForecastFocusFromRawValue(std::string_view raw);

enum class WeatherLocationPreference { automatic, preferCurrentLocation, preferMapItem };
const char* weatherLocationPreferenceName(WeatherLocationPreference preference);

struct WeatherQueryIntent {
  static constexpr const char* kCurrentLocation = "Current Location";

  std::string originalQuery;
  std::string location;  // a place name, or "Current Location"
  WeatherForecastFocus focus = WeatherForecastFocus::current;
  bool useCurrentLocation = false;
  bool containsWeatherKeyword = false;
  // The time the question names, when it names one ("at 9pm": 21:00 to
  // 21:00; "tonight": 20:00 to midnight; "on friday": that day): the
  // forecast shows the hours or days around it rather than the next ones.
  std::optional<Date> focusStart;
  std::optional<Date> focusEnd;

  friend bool operator==(const WeatherQueryIntent&, const WeatherQueryIntent&) = default;
};

class WeatherQueryAnalyzer {
 public:
  // Uses the system clock and the default time zone.
  WeatherQueryAnalyzer();
  explicit WeatherQueryAnalyzer(DateDetector detector) : detector_(std::move(detector)) {}

  std::optional<WeatherQueryIntent> intent(std::string_view query, WeatherLocationPreference locationPreference =
                                                                       WeatherLocationPreference::automatic) const;

  // The focus a detected date implies, relative to the detector's "now".
  WeatherForecastFocus focusForDetectedDate(const DetectedDate& date) const;

  // Table lookups, exposed for the coordinator's keyword tests and for tests.
  static bool isWeatherKeyword(std::string_view word);
  static bool isWeatherSubjectWord(std::string_view word);
  static bool isNonLocationWord(std::string_view word);
  static bool isCurrentLocationKeyword(std::string_view text);
  // Clock-time tokens: "5pm", "5:30", "17:30", "oclock", "5am".
  static bool isTimeToken(std::string_view word);

 private:
  DateDetector detector_;
};

}  // namespace pallix
