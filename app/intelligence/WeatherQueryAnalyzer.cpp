#include "app/intelligence/WeatherQueryAnalyzer.h"

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <vector>

#include "app/intelligence/IntelligenceText.h"
#include "core/Strings.h"

namespace pallix {

namespace {

using namespace intelligence;

constexpr std::array<std::string_view, 18> kWeatherKeywords = {
    "weather", "temperature", "forecast", "rain", "snow",    "precip", "precipitation", "sunrise",   "sunset",
    "wind",    "humidity",    "storm",    "uv",   "climate", "cloud",  "conditions",    "dew point", "dewpoint"};

struct FocusKeywords {
  WeatherForecastFocus focus;
  std::vector<std::string_view> words;
};
const std::vector<FocusKeywords>& focusKeywords() {
  static const std::vector<FocusKeywords> table = {
      {WeatherForecastFocus::tomorrow, {"tomorrow", "tmrw", "tomorrow's", "tommorow"}},
      {WeatherForecastFocus::tonight, {"tonight", "this evening", "evening"}},
      {WeatherForecastFocus::today, {"today", "this morning", "this afternoon"}},
      {WeatherForecastFocus::nextHour, {"next hour", "next hr", "hourly"}},
  };
  return table;
}

constexpr const char* kNextHourPattern = "\\bnext\\s+(hour|hr)\\b";

constexpr std::array<std::string_view, 17> kLocationLeadIns = {"weather in ",
                                                               "weather for ",
                                                               "weather at ",
                                                               "forecast in ",
                                                               "forecast for ",
                                                               "forecast at ",
                                                               "what's the weather in ",
                                                               "whats the weather in ",
                                                               "what's the weather like in ",
                                                               "whats the weather like in ",
                                                               "how's the weather in ",
                                                               "how is the weather in ",
                                                               "show me the weather in ",
                                                               "temperature in ",
                                                               "temp in ",
                                                               "conditions in ",
                                                               "rain in "};

constexpr std::array<std::string_view, 4> kTrailingSubjects = {" weather", " forecast", " temperature", " conditions"};

const std::set<std::string_view> kConnectingWords = {"in", "for", "at", "near", "around"};

constexpr std::array<std::string_view, 8> kCurrentLocationKeywords = {
    "current location", "currentlocation", "my location", "mylocation", "here", "near me", "nearme", "nearby"};

const std::set<std::string_view> kWeatherSubjectWords = {
    "breeze",        "breezy",   "chilly",   "cloud",       "clouds",    "cloudy",       "cold",          "condition",
    "conditions",    "dew",      "dewpoint", "drizzle",     "drizzling", "fog",          "foggy",         "forecast",
    "freeze",        "freezing", "hail",     "hailing",     "heat",      "heatwave",     "hot",           "humid",
    "humidity",      "ice",      "icy",      "lightning",   "mist",      "misty",        "muggy",         "precip",
    "precipitation", "rain",     "rainfall", "raining",     "rainy",     "sleet",        "sleeting",      "snow",
    "snowing",       "snowy",    "storm",    "storming",    "stormy",    "sun",          "sunny",         "sunrise",
    "sunset",        "sunshine", "temp",     "temperature", "thunder",   "thunderstorm", "thunderstorms", "uv",
    "warm",          "weather",  "wind",     "windy"};

const std::set<std::string_view> kNonLocationWords = {
    "a",           "about",    "afternoon", "am",      "any",      "anybody", "anyone",  "anything", "are",
    "around",      "be",       "being",     "can",     "cant",     "chance",  "check",   "could",    "couldnt",
    "day",         "did",      "do",        "does",    "doesnt",   "dont",    "evening", "feel",     "feeling",
    "feels",       "get",      "getting",   "give",    "giving",   "gonna",   "going",   "have",     "here",
    "how",         "hows",     "i",         "if",      "im",       "is",      "isnt",    "it",       "its",
    "let",         "lets",     "like",      "likely",  "look",     "looking", "maybe",   "me",       "might",
    "midnight",    "morning",  "need",      "night",   "noon",     "now",     "outside", "please",   "pm",
    "probability", "right",    "see",       "should",  "shouldnt", "show",    "someone", "somebody", "supposed",
    "tell",        "that",     "the",       "there",   "think",    "this",    "those",   "to",       "today",
    "todays",      "tomorrow", "tomorrows", "tonight", "tonights", "tonite",  "us",      "was",      "wasnt",
    "we",          "week",     "weekend",   "were",    "werent",   "what",    "whats",   "when",     "will",
    "wont",        "would",    "wouldnt"};

// Strips leading and trailing ASCII punctuation and removes inner apostrophes
// ("what's" -> "whats", "paris?" -> "paris").
std::string normalizeWord(std::string_view word) {
  size_t b = 0;
  size_t e = word.size();
  auto isPunct = [](char c) {
    return static_cast<unsigned char>(c) < 0x80 && std::ispunct(static_cast<unsigned char>(c));
  };
  while (b < e && isPunct(word[b])) ++b;
  while (e > b && isPunct(word[e - 1])) --e;
  std::string out;
  for (size_t i = b; i < e; ++i) {
    if (word[i] != '\'') out.push_back(word[i]);
  }
  return replaceAll(out, "\u2019", "");
}

std::string dropConnectingEnds(std::string_view text) {
  std::vector<std::string> words = splitWhitespace(text);
  size_t b = 0;
  size_t e = words.size();
  while (b < e && kConnectingWords.count(normalizeWord(words[b]))) ++b;
  while (e > b && kConnectingWords.count(normalizeWord(words[e - 1]))) --e;
  return joinStrings(
      std::vector<std::string>(words.begin() + static_cast<long>(b), words.begin() + static_cast<long>(e)), " ");
}

bool containsCurrentLocationKeyword(std::string_view text) {
  return std::any_of(kCurrentLocationKeywords.begin(), kCurrentLocationKeywords.end(),
                     [&](std::string_view k) { return containsPhrase(text, k); });
}

std::string eraseRange(std::string_view text, size_t begin, size_t end) {
  std::string out(text.substr(0, begin));
  out.push_back(' ');
  out.append(text.substr(std::min(end, text.size())));
  return trimmed(collapseWhitespace(out));
}

}  // namespace

const char* weatherForecastFocusRawValue(WeatherForecastFocus focus) {
  switch (focus) {
    case WeatherForecastFocus::current:
      return "current";
    case WeatherForecastFocus::nextHour:
      return "next_hour";
    case WeatherForecastFocus::today:
      return "today";
    case WeatherForecastFocus::tonight:
      return "tonight";
    case WeatherForecastFocus::tomorrow:
      return "tomorrow";
    case WeatherForecastFocus::day:
      return "day";
    case WeatherForecastFocus::weekend:
      return "weekend";
  }
  return "current";
}

std::optional<WeatherForecastFocus> weatherForecastFocusFromRawValue(std::string_view raw) {
  for (auto focus : {WeatherForecastFocus::current, WeatherForecastFocus::nextHour, WeatherForecastFocus::today,
                     WeatherForecastFocus::tonight, WeatherForecastFocus::tomorrow, WeatherForecastFocus::day,
                     WeatherForecastFocus::weekend}) {
    if (raw == weatherForecastFocusRawValue(focus)) return focus;
  }
  return std::nullopt;
}

const char* weatherLocationPreferenceName(WeatherLocationPreference preference) {
  switch (preference) {
    case WeatherLocationPreference::automatic:
      return "automatic";
    case WeatherLocationPreference::preferCurrentLocation:
      return "preferCurrentLocation";
    case WeatherLocationPreference::preferMapItem:
      return "preferMapItem";
  }
  return "automatic";
}

WeatherQueryAnalyzer::WeatherQueryAnalyzer() : detector_(SystemClock::instance().wallNow()) {}

bool WeatherQueryAnalyzer::isWeatherKeyword(std::string_view word) {
  return std::find(kWeatherKeywords.begin(), kWeatherKeywords.end(), word) != kWeatherKeywords.end();
}
bool WeatherQueryAnalyzer::isWeatherSubjectWord(std::string_view word) {
  return kWeatherSubjectWords.count(word) > 0;
}
bool WeatherQueryAnalyzer::isNonLocationWord(std::string_view word) {
  return kNonLocationWords.count(word) > 0;
}
bool WeatherQueryAnalyzer::isCurrentLocationKeyword(std::string_view text) {
  return std::find(kCurrentLocationKeywords.begin(), kCurrentLocationKeywords.end(), text) !=
         kCurrentLocationKeywords.end();
}
bool WeatherQueryAnalyzer::isTimeToken(std::string_view word) {
  return regexContains("^(?:\\d{1,2}(?:[:.]\\d{2})?\\s*(?:am|pm|a\\.m\\.|p\\.m\\.)?|o'?clock|\\d{1,2}o'?clock)$", word);
}

WeatherForecastFocus WeatherQueryAnalyzer::focusForDetectedDate(const DetectedDate& date) const {
  const Date now = detector_.now();
  const double fromNow = toSeconds(date.start - now);
  // Only a point in time is the next hour: "tonight" asked at 18:30 is tonight
  // and "tomorrow" asked at 23:00 is tomorrow, though both start within 90 minutes.
  if (date.durationSeconds == 0 && fromNow >= 0 && fromNow <= 5400) return WeatherForecastFocus::nextHour;
  const Date today = detector_.startOfDay(now);
  const Date tomorrow = detector_.startOfDay(now, 1);
  const Date dayAfter = detector_.startOfDay(now, 2);
  auto within = [](Date d, Date from, Date to) { return d >= from && d < to; };
  const Duration duration = std::chrono::duration_cast<Duration>(std::chrono::duration<double>(date.durationSeconds));
  // The end is exclusive: "this weekend" asked on Sunday ends today, at midnight.
  const Date last = date.start + duration - Date::duration(duration > Duration::zero() ? 1 : 0);
  // A span of a few days from today on that reaches past tomorrow: "this
  // weekend" asked from Monday to Saturday. (A day more than 24 hours long
  // is a day with a clock change, not a span.)
  constexpr Duration kLongestDay = std::chrono::hours(25);
  if (duration > kLongestDay && duration <= std::chrono::hours(24 * 3) && date.start >= today && last >= dayAfter) {
    return WeatherForecastFocus::weekend;
  }
  if (within(date.start, today, tomorrow)) {
    return detector_.hourOf(date.start) >= 18 ? WeatherForecastFocus::tonight : WeatherForecastFocus::today;
  }
  if (within(date.start, tomorrow, dayAfter)) return WeatherForecastFocus::tomorrow;
  if (date.durationSeconds > 0) {
    if (within(last, today, tomorrow)) return WeatherForecastFocus::today;
    if (within(last, tomorrow, dayAfter)) return WeatherForecastFocus::tomorrow;
  }
  // One later day, or a time on it ("on friday", "friday at 8pm"); a week is no day.
  if (date.start >= dayAfter && duration <= kLongestDay) return WeatherForecastFocus::day;
  return WeatherForecastFocus::current;
}

std::optional<WeatherQueryIntent> WeatherQueryAnalyzer::intent(std::string_view query,
                                                               WeatherLocationPreference preference) const {
  const std::string original = trimmed(query);
  if (original.empty()) return std::nullopt;
  const std::string text = trimmed(collapseWhitespace(foldAndLowercase(original)));

  // 1. Time scope: explicit time first, keywords otherwise.
  WeatherForecastFocus focus = WeatherForecastFocus::current;
  std::optional<Date> focusStart, focusEnd;
  std::string working = text;
  if (auto hour = regexFind(kNextHourPattern, working)) {
    focus = WeatherForecastFocus::nextHour;
    working = eraseRange(working, hour->begin, hour->end);
  } else if (auto detected = detector_.firstMatch(working)) {
    focus = focusForDetectedDate(*detected);
    working = eraseRange(working, detected->begin, detected->end);
    if (focus != WeatherForecastFocus::current && focus != WeatherForecastFocus::nextHour) {
      focusStart = detected->start;
      focusEnd = detected->start +
                 std::chrono::duration_cast<Duration>(std::chrono::duration<double>(detected->durationSeconds));
    }
  } else {
    for (const auto& entry : focusKeywords()) {
      bool hit = std::any_of(entry.words.begin(), entry.words.end(),
                             [&](std::string_view w) { return containsPhrase(text, w); });
      if (hit) {
        focus = entry.focus;
        break;
      }
    }
  }

  // 2. Weather keyword anywhere in the text.
  bool hasKeyword = std::any_of(kWeatherKeywords.begin(), kWeatherKeywords.end(), [&](std::string_view k) {
    return k.find(' ') != std::string_view::npos && text.find(k) != std::string::npos;
  });
  if (!hasKeyword) {
    for (const std::string& word : splitNonAlphanumeric(text)) {
      if (isWeatherKeyword(word)) {
        hasKeyword = true;
        break;
      }
    }
  }

  // 3. Place candidate.
  std::optional<std::string> candidate;
  for (std::string_view leadIn : kLocationLeadIns) {
    size_t pos = working.find(leadIn);
    if (pos != std::string::npos) {
      candidate = working.substr(pos + leadIn.size());
      break;
    }
  }
  if (!candidate) {
    for (std::string_view trailing : kTrailingSubjects) {
      size_t pos = working.find(trailing);
      if (pos != std::string::npos) {
        candidate = working.substr(0, pos);
        break;
      }
    }
  }
  if (!candidate) {
    size_t pos = working.find(" in ");
    candidate = pos == std::string::npos ? working : working.substr(pos + 4);
  }
  std::string place = *candidate;
  for (const auto& entry : focusKeywords()) {
    for (std::string_view w : entry.words) place = removePhrase(place, w);
  }
  for (std::string_view k : kWeatherKeywords) place = removePhrase(place, k);
  const bool currentLocation = containsCurrentLocationKeyword(place);
  place = collapseWhitespace(dropConnectingEnds(trimmed(place)));
  if (!currentLocation) {
    std::vector<std::string> kept;
    for (const std::string& word : splitWhitespace(place)) {
      std::string normalized = normalizeWord(word);
      if (normalized.empty() || isNonLocationWord(normalized) || isTimeToken(normalized)) continue;
      // A comma after a word separates a place from its region ("portland, maine"); the weather source needs it.
      if (word.back() == ',') normalized.push_back(',');
      kept.push_back(normalized);
    }
    while (!kept.empty() && kept.back().back() == ',') kept.back().pop_back();
    std::erase_if(kept, [](const std::string& w) { return w.empty(); });
    place = collapseWhitespace(dropConnectingEnds(trimmed(joinStrings(kept, " "))));
  }

  WeatherQueryIntent result;
  result.originalQuery = original;
  result.focus = focus;
  result.containsWeatherKeyword = hasKeyword;
  result.focusStart = focusStart;
  result.focusEnd = focusEnd;
  auto useCurrent = [&] {
    result.location = WeatherQueryIntent::kCurrentLocation;
    result.useCurrentLocation = true;
  };

  // A time alone asks about weather only when it is one of the original
  // focuses ("tomorrow?"); a later day alone ("friday") is just a day.
  const bool timeAlone = focus != WeatherForecastFocus::current && focus != WeatherForecastFocus::day &&
                         focus != WeatherForecastFocus::weekend;
  std::vector<std::string> placeWords = splitWhitespace(place);
  bool onlySubjectWords = !placeWords.empty() && std::all_of(placeWords.begin(), placeWords.end(),
                                                             [](const auto& w) { return isWeatherSubjectWord(w); });
  if (currentLocation) {
    if (!hasKeyword && !timeAlone) return std::nullopt;
    useCurrent();
  } else if (place.empty()) {
    if (!hasKeyword && !timeAlone) return std::nullopt;
    useCurrent();
  } else if (onlySubjectWords) {
    // "cold tomorrow", "is it rainy today": weather words alone mean here.
    if (!hasKeyword && focus == WeatherForecastFocus::current) return std::nullopt;
    useCurrent();
  } else if (hasKeyword) {
    result.location = place;
    result.useCurrentLocation = false;
  } else {
    // A place-like text without any weather word ("paris", "dinner tomorrow").
    return std::nullopt;
  }
  if (preference == WeatherLocationPreference::preferCurrentLocation) useCurrent();
  return result;
}

}  // namespace pallix
