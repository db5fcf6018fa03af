#include "app/sources/CalendarSearchDataSource.h"

#include <algorithm>
#include <cmath>

#include "app/intelligence/CalendarQueryAnalyzer.h"
#include "app/intelligence/DateDetector.h"
#include "app/intelligence/DateFormatting.h"
#include "app/intelligence/IntelligenceText.h"
#include "app/platform/HttpClient.h"
#include "core/Telemetry.h"

namespace pallix {

namespace {

constexpr size_t kNotesSummaryLength = 140;

void reportFailure(const char* signal, const Error& error) {
  TelemetryService::errorOccurred(signal, "CalendarSearchDataSource", error.description(),
                                  {{"domain", error.domain()}, {"code", std::to_string(error.code())}});
}

std::optional<std::string> firstWebURL(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  for (std::string_view scheme : {"https://", "http://"}) {
    size_t at = text->find(scheme);
    if (at == std::string::npos) continue;
    size_t end = text->find_first_of(" \t\r\n<>\"')", at);
    return text->substr(at, end == std::string::npos ? std::string::npos : end - at);
  }
  return std::nullopt;
}

std::optional<std::string> summaryOf(const std::optional<std::string>& notes) {
  if (!notes) return std::nullopt;
  std::string flat = intelligence::collapseWhitespace(intelligence::replaceAll(*notes, "\n", " "));
  flat = intelligence::trimmed(flat);
  if (flat.empty()) return std::nullopt;
  if (flat.size() > kNotesSummaryLength) {
    size_t cut = kNotesSummaryLength;
    while (cut > 0 && (static_cast<unsigned char>(flat[cut]) & 0xC0) == 0x80) --cut;  // keep UTF-8 whole
    flat = flat.substr(0, cut) + "\u2026";
  }
  return flat;
}

// Folded and lowercased, with a fast path for ASCII text (most titles), which folding leaves as it is.
std::string searchable(const std::string& text) {
  if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  }
  return intelligence::foldAndLowercase(text);
}

bool containsAllWords(const CalendarEvent& event, const std::vector<std::string>& words) {
  std::string title = searchable(event.title);
  auto all = [&](const std::string& text) {
    return std::all_of(words.begin(), words.end(),
                       [&](const std::string& w) { return text.find(w) != std::string::npos; });
  };
  if (all(title)) return true;
  if (!event.location && !event.notes) return false;
  return all(title + " " + searchable(event.location.value_or("")) + " " + searchable(event.notes.value_or("")));
}

}  // namespace

CalendarSearchDataSource::CalendarSearchDataSource(Dependencies dependencies) : deps_(std::move(dependencies)) {
  refreshTitleIndex();
}

CalendarSearchDataSource::~CalendarSearchDataSource() {
  inFlight_.cancel();
}

PermissionStatus CalendarSearchDataSource::authorizationStatus() const {
  switch (deps_.store ? deps_.store->accessStatus() : CalendarAccess::denied) {
    case CalendarAccess::notDetermined:
      return PermissionStatus::notDetermined;
    case CalendarAccess::denied:
      return PermissionStatus::denied;
    case CalendarAccess::authorized:
      return PermissionStatus::authorized;
  }
  return PermissionStatus::denied;
}

void CalendarSearchDataSource::requestAuthorization(std::function<void(bool)> completion) {
  auto store = deps_.store;
  if (!store) return completion(false);
  deps_.worker->post([store, main = deps_.mainRunner, completion = std::move(completion),
                      refresh = weak_.wrap([this] { refreshTitleIndex(); })]() mutable {
    auto granted = store->requestAccess();
    if (!granted.ok()) {
      TelemetryService::errorOccurred("CalendarSearchDataSource.requestAccessFailed", "CalendarSearchDataSource",
                                      granted.error().description(),
                                      {{"domain", granted.error().domain()},
                                       {"code", std::to_string(granted.error().code())},
                                       {"status", "denied"}});
    }
    const bool ok = granted.ok() && granted.value();
    main->post([completion, refresh, ok]() mutable {
      if (ok) refresh();
      completion(ok);
    });
  });
}

void CalendarSearchDataSource::refreshTitleIndex() {
  auto store = deps_.store;
  if (!store || store->accessStatus() != CalendarAccess::authorized) return;
  const Date now = deps_.mainRunner->clock().wallNow();
  deps_.worker->post(
      [store, now, tz = deps_.timeZoneId, main = deps_.mainRunner,
       apply = weak_.wrap([this](std::shared_ptr<const TitleIndex> index) { replaceTitleIndex(index); })]() mutable {
        DateDetector days(now, tz);
        auto events = store->events(days.startOfDay(now), days.startOfDay(now, kTitleIndexDays));
        if (!events.ok()) return;
        auto index = std::make_shared<TitleIndex>();
        for (const auto& e : events.value()) index->push_back(searchable(e.title));
        std::sort(index->begin(), index->end());
        index->erase(std::unique(index->begin(), index->end()), index->end());
        main->post([apply, index]() mutable { apply(index); });
      });
}

bool CalendarSearchDataSource::shouldHandle(const std::string& query) {
  if (authorizationStatus() != PermissionStatus::authorized) return false;
  const Date now = deps_.mainRunner->clock().wallNow();
  const CalendarQueryIntent intent = CalendarQueryAnalyzer(now, deps_.timeZoneId).analyze(query);
  if (intent.hasCalendarKeyword) return true;
  if (!intent.textQuery || intent.textQuery->size() < 3) return false;
  const std::vector<std::string> words =
      intelligence::splitWhitespace(intelligence::foldAndLowercase(*intent.textQuery));
  auto titles = titles_;
  return std::any_of(titles->begin(), titles->end(), [&](const std::string& title) {
    return std::all_of(words.begin(), words.end(),
                       [&](const std::string& w) { return title.find(w) != std::string::npos; });
  });
}

std::vector<CalendarSearchResult> CalendarSearchDataSource::search(CalendarStore& store, const std::string& query,
                                                                   Date now, const std::string& timeZoneId,
                                                                   Error* failure) {
  const CalendarQueryIntent intent = CalendarQueryAnalyzer(now, timeZoneId).analyze(query);
  std::vector<std::string> words;
  if (intent.textQuery) words = intelligence::splitWhitespace(intelligence::foldAndLowercase(*intent.textQuery));
  if (words.empty() && !intent.hasCalendarKeyword && !intent.matchedTemporalKeyword) return {};
  DateDetector days(now, timeZoneId);
  const DateRange interval =
      intent.searchInterval.value_or(DateRange{days.startOfDay(now), days.startOfDay(now, kDefaultIntervalDays)});
  auto events = store.events(interval.start, interval.end);
  if (!events.ok()) {
    if (failure) *failure = events.error();
    return {};
  }
  std::vector<CalendarSearchResult> results;
  for (const CalendarEvent& event : events.value()) {
    if (!words.empty() && !containsAllWords(event, words)) continue;
    results.push_back(resultFor(event, now, timeZoneId));
    if (results.size() == static_cast<size_t>(kMaxResults)) break;
  }
  return results;
}

void CalendarSearchDataSource::performSearch(const std::string& query, SearchCompletion completion) {
  inFlight_.cancel();
  auto store = deps_.store;
  if (!store || authorizationStatus() != PermissionStatus::authorized) {
    completion(std::nullopt);
    return;
  }
  TaskHandle handle = TaskHandle::make();
  inFlight_ = handle;
  const Date now = deps_.mainRunner->clock().wallNow();
  deps_.worker->post([store, query, now, tz = deps_.timeZoneId, handle, main = deps_.mainRunner,
                      completion = std::move(completion)]() mutable {
    if (handle.isCancelled()) return;
    Error error;
    auto results = search(*store, query, now, tz, &error);
    if (!error.domain().empty()) {
      Logger("CalendarSearchDataSource").error("Calendar search failed: %s", error.description().c_str());
      reportFailure("CalendarSearchDataSource.performSearchFailed", error);
    }
    main->post([handle, results = std::move(results), completion = std::move(completion)]() mutable {
      if (handle.isCancelled()) return;
      completion(results.empty() ? std::nullopt : std::optional<VCRDataSourceResult>(std::move(results)));
    });
  });
}

void CalendarSearchDataSource::upcomingEvents(double lookaheadSeconds, int limit,
                                              std::function<void(std::vector<CalendarSearchResult>)> completion) {
  auto store = deps_.store;
  if (!store || authorizationStatus() != PermissionStatus::authorized) {
    completion({});
    return;
  }
  const Date now = deps_.mainRunner->clock().wallNow();
  deps_.worker->post([store, now, lookaheadSeconds, limit, tz = deps_.timeZoneId, main = deps_.mainRunner,
                      completion = std::move(completion)]() mutable {
    const Date end = now + std::chrono::duration_cast<Duration>(std::chrono::duration<double>(lookaheadSeconds));
    std::vector<CalendarSearchResult> upcoming;
    auto events = store->events(now, end);
    if (!events.ok()) {
      Logger("CalendarSearchDataSource").error("Upcoming events failed: %s", events.error().description().c_str());
      reportFailure("CalendarSearchDataSource.upcomingEventsFailed", events.error());
    } else {
      for (const CalendarEvent& event : events.value()) {
        if (event.start < now || event.start > end) continue;
        upcoming.push_back(resultFor(event, now, tz));
        if (static_cast<int>(upcoming.size()) >= limit) break;
      }
    }
    main->post([completion = std::move(completion), upcoming = std::move(upcoming)]() mutable {
      completion(std::move(upcoming));
    });
  });
}

std::string CalendarSearchDataSource::relativeDateDescription(Date start, Date now, const std::string& timeZoneId) {
  DateDetector days(now, timeZoneId);
  const double seconds = toSeconds(days.startOfDay(start) - days.startOfDay(now));
  const long difference = std::lround(seconds / 86400.0);
  if (difference == 0) return "today";
  if (difference == 1) return "tomorrow";
  if (difference == -1) return "yesterday";
  if (difference > 1) return "in " + std::to_string(difference) + " days";
  return std::to_string(-difference) + " days ago";
}

CalendarSearchResult CalendarSearchDataSource::resultFor(const CalendarEvent& event, Date now,
                                                         const std::string& timeZoneId) {
  CalendarSearchResult r;
  r.identifier = event.occurrenceId.empty() ? event.uid : event.occurrenceId;
  r.title = intelligence::trimmed(event.title).empty() ? "Untitled Event" : event.title;
  r.startDate = event.start;
  r.endDate = event.end;
  r.isAllDay = event.isAllDay;
  if (!event.calendarTitle.empty()) r.calendarTitle = event.calendarTitle;
  r.calendarItemIdentifier = event.uid;
  r.hasRecurrenceRules = event.isRecurring;
  r.location = event.location;
  r.notesSummary = summaryOf(event.notes);
  r.primaryDateDescription = formatDate(event.start, "EEE d MMM", timeZoneId, "en_GB");
  r.relativeDateDescription = relativeDateDescription(event.start, now, timeZoneId);
  if (event.isAllDay) {
    DateDetector days(event.start, timeZoneId);
    const bool oneDay = event.end <= days.startOfDay(event.start, 1);
    r.timeRangeDescription =
        oneDay ? "All day"
               : "All day, until " + formatDate(event.end - std::chrono::seconds(1), "EEE d MMM", timeZoneId, "en_GB");
  } else {
    r.timeRangeDescription =
        formatDate(event.start, "HH:mm", timeZoneId) + " \u2013 " + formatDate(event.end, "HH:mm", timeZoneId);
    if (formatDate(event.start, "yyyyMMdd", timeZoneId) != formatDate(event.end, "yyyyMMdd", timeZoneId)) {
      r.timeRangeDescription += " (" + formatDate(event.end, "EEE d MMM", timeZoneId, "en_GB") + ")";
    }
  }
  r.calendarTypeDescription = event.isSubscription ? "Subscribed calendar" : "Local calendar";
  if (event.geo) {
    r.structuredLocationInfo =
        StructuredLocationInfo{event.location.value_or(""), event.geo->latitude, event.geo->longitude};
  }
  r.meetingURL = event.url && isWebURL(*event.url) ? event.url : std::nullopt;
  if (!r.meetingURL) r.meetingURL = firstWebURL(event.location);
  if (!r.meetingURL) r.meetingURL = firstWebURL(event.notes);
  r.sourcePath = event.sourcePath.empty() ? std::nullopt : std::optional<std::string>(event.sourcePath);
  return r;
}

Status openCalendarEvent(const CalendarSearchResult& event, Workspace& workspace, CommandRunner& runner,
                         const std::string& timeZoneId) {
  auto url = event.makeCalendarOpenURL(timeZoneId);
  bool handled = false;
  if (url) {
    auto handler = runner.run({"xdg-mime", "query", "default", "x-scheme-handler/ical"}, std::chrono::seconds(5));
    handled = handler.ok() && handler->exitStatus == 0 && !intelligence::trimmed(handler->standardOutput).empty();
  }
  if (handled) return workspace.openURL(*url);
  if (event.sourcePath) return workspace.openFile(*event.sourcePath);
  return Error("CalendarSearchDataSourceError", 1,
               "No application opens calendar events and \"" + event.title + "\" has no file to open");
}

}  // namespace pallix
