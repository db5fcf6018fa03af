#include "app/platform/linux/IcsCalendarStore.h"

#include <libical/ical.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <utility>

#include "app/platform/linux/IcsTextRepair.h"
#include "app/platform/linux/IcsTimeZones.h"
#include "core/FileUtil.h"

namespace pallix {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxOccurrencesPerEvent = 20000;
// Years of a busy calendar take a few megabytes.
constexpr uint64_t kMaximumCalendarFileSize = uint64_t{64} << 20;
constexpr int kDay = 86400;

void configureLibicalOnce() {
  static std::once_flag once;
  std::call_once(once, [] { icalerror_set_errors_are_fatal(0); });
}

// Serialises every read and import: the parsed-file cache is shared by all callers (the calendar source's
// worker and, in the command line, the main thread), and libical's time-zone tables are process-wide.
std::mutex& storeMutex() {
  static std::mutex mutex;
  return mutex;
}

Date fromTimeT(time_t t) {
  return std::chrono::system_clock::from_time_t(t);
}

time_t localMidnight(int year, int month, int day) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

bool isFloating(const icaltimetype& t) {
  return icaltime_is_date(t) || (!t.zone && !icaltime_is_utc(t));
}

// A libical time as a date: zoned and UTC times as they are, all-day dates
// and floating times in the process's zone.
Date toDate(const icaltimetype& t) {
  if (icaltime_is_date(t)) return fromTimeT(localMidnight(t.year, t.month, t.day));
  if (isFloating(t)) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    return fromTimeT(std::mktime(&tm));
  }
  return fromTimeT(icaltime_as_timet_with_zone(t, t.zone ? t.zone : icaltimezone_get_utc_timezone()));
}

// A date as a libical time in the representation of `like` (its zone, or floating local time).
icaltimetype fromDate(Date date, const icaltimetype& like) {
  const time_t t = std::chrono::system_clock::to_time_t(date);
  if (!isFloating(like))
    return icaltime_from_timet_with_zone(t, 0, like.zone ? like.zone : icaltimezone_get_utc_timezone());
  std::tm tm{};
  localtime_r(&t, &tm);
  icaltimetype out = icaltime_null_time();
  out.year = tm.tm_year + 1900;
  out.month = tm.tm_mon + 1;
  out.day = tm.tm_mday;
  out.hour = tm.tm_hour;
  out.minute = tm.tm_min;
  out.second = tm.tm_sec;
  out.is_date = icaltime_is_date(like);
  if (out.is_date) out.hour = out.minute = out.second = 0;
  return out;
}

std::optional<std::string> textOf(const char* value) {
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> xProperty(icalcomponent* c, const char* name) {
  for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_X_PROPERTY); p;
       p = icalcomponent_get_next_property(c, ICAL_X_PROPERTY)) {
    const char* x = icalproperty_get_x_name(p);
    if (x && strcasecmp(x, name) == 0) return textOf(icalproperty_get_value_as_string(p));
  }
  return std::nullopt;
}

std::string occurrenceId(const std::string& uid, Date start) {
  return uid + "/" + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(start.time_since_epoch()).count());
}

int dayKey(const icaltimetype& t) {
  return t.year * 10000 + t.month * 100 + t.day;
}

}  // namespace

// One event component and what every occurrence shares.
struct ParsedEvent {
  icalcomponent* component = nullptr;  // owned by the file's root
  CalendarEvent base;                  // title, place, notes, calendar...
  icaltimetype dtstart;
  Date start;
  int64_t durationSeconds = 0;
  int allDayDays = 0;                     // all-day events: length in days
  std::vector<icalrecurrencetype> rules;  // every RRULE; RSCALE names point into the file's root
  // Extra starts (RDATE); one given as a period lasts that period.
  struct ExtraStart {
    icaltimetype start;
    std::optional<int64_t> durationSeconds;
  };
  std::vector<ExtraStart> rdates;
  std::set<int64_t> excluded;  // EXDATEs and changed occurrences (RECURRENCE-ID), seconds since 1970
  std::set<int> excludedDays;  // date-only EXDATEs of a timed series: yyyymmdd in DTSTART's zone
  // Occurrences that start (as the series names them) at or after this are
  // not this event's: a change "for this and the following" took them over.
  std::optional<int64_t> endsBefore;
  // A change for this and the following occurrences (RECURRENCE-ID with
  // RANGE=THISANDFUTURE) continues `continues`' occurrences from
  // `fromOriginal` on, each moved by `shiftSeconds`, with this event's title,
  // length and the rest. `continues` points into the same file's events.
  const ParsedEvent* continues = nullptr;
  int64_t fromOriginal = 0;
  int64_t shiftSeconds = 0;
  bool repeats() const { return !rules.empty() || !rdates.empty(); }
};

struct IcsCalendarStore::ParsedFile {
  icalcomponent* root = nullptr;
  std::vector<ParsedEvent> events;
  std::vector<CalendarImportNote> notes;
  int64_t size = -1;
  int64_t mtimeNanoseconds = -1;
  ~ParsedFile() {
    if (root) icalcomponent_free(root);
  }
};

namespace {

int64_t secondsOf(Date d) {
  return std::chrono::duration_cast<std::chrono::seconds>(d.time_since_epoch()).count();
}

// All-day occurrences end at local midnight after their last day, whatever the length of the days between.
Date endOf(const ParsedEvent& e, Date start) {
  if (!e.base.isAllDay) return start + std::chrono::seconds(e.durationSeconds);
  const time_t t = std::chrono::system_clock::to_time_t(start);
  std::tm tm{};
  localtime_r(&t, &tm);
  return fromTimeT(localMidnight(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday + e.allDayDays));
}

void emit(const ParsedEvent& e, Date start, Date end, bool recurring, std::vector<CalendarEvent>& out) {
  CalendarEvent event = e.base;
  event.start = start;
  event.end = end;
  event.isRecurring = recurring;
  event.occurrenceId = recurring ? occurrenceId(event.uid, start) : event.uid;
  out.push_back(std::move(event));
}

bool overlaps(Date start, Date end, Date rangeStart, Date rangeEnd) {
  if (start >= rangeEnd) return false;
  return end > rangeStart || (end == start && start >= rangeStart);
}

bool isExcluded(const ParsedEvent& e, Date start) {
  if (e.excluded.count(secondsOf(start))) return true;
  return !e.excludedDays.empty() && e.excludedDays.count(dayKey(fromDate(start, e.dtstart)));
}

// The starts of a series' occurrences, as the series itself names them,
// once each (DTSTART, the rules and RDATEs may name the same start), before
// its exceptions; the rules from `earliest` (when they allow skipping ahead)
// until `rangeEnd`. Each start comes with its own length when an RDATE period
// gives one.
void forEachSeriesStart(const ParsedEvent& e, Date earliest, Date rangeEnd,
                        const std::function<void(Date, std::optional<int64_t>)>& visit) {
  std::set<int64_t> seen;
  auto consider = [&](Date start, std::optional<int64_t> length) {
    if (seen.insert(secondsOf(start)).second) visit(start, length);
  };
  consider(e.start, std::nullopt);
  for (const icalrecurrencetype& rule : e.rules) {
    icalrecur_iterator* it = icalrecur_iterator_new(rule, e.dtstart);
    if (!it) continue;
    // Skip straight to the interval when the rule allows it (not with COUNT).
    if (rule.count == 0 && earliest > e.start) icalrecur_iterator_set_start(it, fromDate(earliest, e.dtstart));
    for (int n = 0; n < kMaxOccurrencesPerEvent; ++n) {
      icaltimetype next = icalrecur_iterator_next(it);
      if (icaltime_is_null_time(next)) break;
      next.zone = e.dtstart.zone;
      const Date start = toDate(next);
      if (start >= rangeEnd) break;
      consider(start, std::nullopt);
    }
    icalrecur_iterator_free(it);
  }
  for (const ParsedEvent::ExtraStart& rdate : e.rdates) consider(toDate(rdate.start), rdate.durationSeconds);
}

void expand(const ParsedEvent& e, Date rangeStart, Date rangeEnd, std::vector<CalendarEvent>& out) {
  const bool recurring = e.repeats() || e.base.isRecurring;
  auto emitIfInRange = [&](Date start, std::optional<int64_t> length) {
    const Date end = length ? start + std::chrono::seconds(*length) : endOf(e, start);
    if (overlaps(start, end, rangeStart, rangeEnd)) emit(e, start, end, recurring, out);
  };
  const auto margin = std::chrono::seconds(e.durationSeconds + static_cast<int64_t>(e.allDayDays + 1) * kDay);
  auto isOwn = [&](Date original) { return !e.endsBefore || secondsOf(original) < *e.endsBefore; };
  if (!e.continues) {
    forEachSeriesStart(e, rangeStart - margin, rangeEnd, [&](Date start, std::optional<int64_t> length) {
      if (isOwn(start) && !isExcluded(e, start)) emitIfInRange(start, length);
    });
    return;
  }
  // The changed occurrence itself, then the series' later ones, moved alike;
  // later exceptions of the series still hold.
  const ParsedEvent& series = *e.continues;
  const auto shift = std::chrono::seconds(e.shiftSeconds);
  forEachSeriesStart(series, rangeStart - margin - shift, rangeEnd - shift, [&](Date original, std::optional<int64_t>) {
    const int64_t key = secondsOf(original);
    if (key < e.fromOriginal || !isOwn(original)) return;
    if (key != e.fromOriginal && isExcluded(series, original)) return;
    emitIfInRange(original + shift, std::nullopt);
  });
}

// libical's complaint about a property it dropped ("Can't parse as RECUR value in RRULE property. Removing
// entire property: FREQ=MONTLY") as the property's name and value.
std::optional<std::pair<std::string, std::string>> droppedProperty(const std::string& complaint) {
  constexpr std::string_view kIn = " value in ", kProperty = " property", kRemoving = "Removing entire property: ";
  const size_t in = complaint.find(kIn);
  const size_t property = in == std::string::npos ? in : complaint.find(kProperty, in + kIn.size());
  const size_t removing = complaint.find(kRemoving);
  if (property == std::string::npos || removing == std::string::npos) return std::nullopt;
  return std::pair{complaint.substr(in + kIn.size(), property - in - kIn.size()),
                   complaint.substr(removing + kRemoving.size())};
}

// A note's detail for a property libical could not read.
std::string unreadable(const std::string& complaint) {
  auto dropped = droppedProperty(complaint);
  if (!dropped) return complaint;
  const auto& [name, value] = *dropped;
  return name + " \"" + value + "\" cannot be read" +
         (name == "RRULE" ? "; only its first occurrence is shown" : " and is ignored");
}

std::string nameOf(icalcomponent* c) {
  if (auto summary = textOf(icalcomponent_get_summary(c))) return *summary;
  return textOf(icalcomponent_get_uid(c)).value_or("untitled event");
}

ParsedEvent parseEvent(icalcomponent* calendar, icalcomponent* c, const std::string& calendarTitle,
                       const std::string& path, bool subscription, std::vector<CalendarImportNote>& notes) {
  ParsedEvent e;
  e.component = c;
  e.dtstart = icalcomponent_get_dtstart(c);
  e.start = toDate(e.dtstart);
  CalendarEvent& b = e.base;
  b.uid = textOf(icalcomponent_get_uid(c)).value_or(path + "#" + std::to_string(secondsOf(e.start)));
  b.title = textOf(icalcomponent_get_summary(c)).value_or("");
  b.location = textOf(icalcomponent_get_location(c));
  b.notes = textOf(icalcomponent_get_description(c));
  if (icalproperty* url = icalcomponent_get_first_property(c, ICAL_URL_PROPERTY))
    b.url = textOf(icalproperty_get_url(url));
  if (icalproperty* geo = icalcomponent_get_first_property(c, ICAL_GEO_PROPERTY)) {
    icalgeotype g = icalproperty_get_geo(geo);
    LocationCoordinate coordinate{g.lat, g.lon};
    if (isValidCoordinate(coordinate) && (coordinate.latitude != 0 || coordinate.longitude != 0)) b.geo = coordinate;
  }
  b.isAllDay = icaltime_is_date(e.dtstart);
  b.calendarTitle = calendarTitle;
  b.sourcePath = path;
  b.isSubscription = subscription;

  // Without DTEND or DURATION an all-day event lasts its day and a timed one is an instant.
  icalproperty* dtendProperty = icalcomponent_get_first_property(c, ICAL_DTEND_PROPERTY);
  icalproperty* durationProperty = icalcomponent_get_first_property(c, ICAL_DURATION_PROPERTY);
  icaltimetype dtend = dtendProperty || durationProperty ? icalcomponent_get_dtend(c) : icaltime_null_time();
  if (b.isAllDay) {
    int days = 1;
    if (!icaltime_is_null_time(dtend)) {
      days = static_cast<int>((secondsOf(toDate(dtend)) - secondsOf(e.start) + kDay / 2) / kDay);
    }
    e.allDayDays = std::max(days, 1);
  } else if (!icaltime_is_null_time(dtend)) {
    e.durationSeconds = std::max<int64_t>(0, secondsOf(toDate(dtend)) - secondsOf(e.start));
  }
  for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY); p;
       p = icalcomponent_get_next_property(c, ICAL_RRULE_PROPERTY)) {
    icalrecurrencetype rule = icalproperty_get_rrule(p);
    if (rule.freq != ICAL_NO_RECURRENCE) {
      e.rules.push_back(rule);
    } else {
      const char* text = icalproperty_get_value_as_string(p);
      notes.push_back(
          {CalendarImportNote::Kind::unreadablePart, nameOf(c),
           "RRULE \"" + std::string(text ? text : "") + "\" cannot be read; only its first occurrence is shown"});
    }
  }
  for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RDATE_PROPERTY); p;
       p = icalcomponent_get_next_property(c, ICAL_RDATE_PROPERTY)) {
    icaldatetimeperiodtype rdate = icalproperty_get_rdate(p);
    const bool period = icaltime_is_null_time(rdate.time);
    const icaltimetype t = timeOf(p, period ? rdate.period.start : rdate.time, calendar, e.dtstart.zone);
    if (icaltime_is_null_time(t)) continue;
    std::optional<int64_t> length;
    if (period && !icaltime_is_null_time(rdate.period.end)) {
      const icaltimetype end = timeOf(p, rdate.period.end, calendar, e.dtstart.zone);
      length = std::max<int64_t>(0, secondsOf(toDate(end)) - secondsOf(toDate(t)));
    } else if (period && !icaldurationtype_is_null_duration(rdate.period.duration)) {
      length = std::max(0, icaldurationtype_as_int(rdate.period.duration));
    }
    e.rdates.push_back({t, length});
  }
  for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_EXDATE_PROPERTY); p;
       p = icalcomponent_get_next_property(c, ICAL_EXDATE_PROPERTY)) {
    icaltimetype t = icalproperty_get_exdate(p);
    if (icaltime_is_null_time(t)) continue;
    if (icaltime_is_date(t) && !b.isAllDay) {
      e.excludedDays.insert(dayKey(t));
    } else {
      e.excluded.insert(secondsOf(toDate(timeOf(p, t, calendar, e.dtstart.zone))));
    }
  }
  b.isRecurring = e.repeats();
  return e;
}

// A changed or cancelled occurrence: the series' UID and its RECURRENCE-ID.
struct ChangedOccurrence {
  std::string uid;
  icaltimetype recurrenceId;
  bool thisAndFuture = false;    // RANGE=THISANDFUTURE
  std::optional<size_t> change;  // the changed event among the file's events; none when cancelled
};

bool isThisAndFuture(icalproperty* recurrenceId) {
  icalparameter* range = icalproperty_get_first_parameter(recurrenceId, ICAL_RANGE_PARAMETER);
  return range && icalparameter_get_range(range) == ICAL_RANGE_THISANDFUTURE;
}

// Hands a series' occurrences from each change "for this and the following"
// on to that change, each change up to the next one.
void continueChangedSeries(std::vector<ParsedEvent>& events, const std::vector<ChangedOccurrence>& changed,
                           const std::map<std::string, std::vector<ParsedEvent*>>& seriesByUid) {
  for (const ChangedOccurrence& c : changed) {
    if (!c.thisAndFuture) continue;
    auto series = seriesByUid.find(c.uid);
    if (series == seriesByUid.end() || series->second.empty()) continue;
    ParsedEvent& first = *series->second.front();
    icaltimetype when = c.recurrenceId;
    if (!icaltime_is_utc(when) && !when.zone) when.zone = first.dtstart.zone;
    const int64_t from = secondsOf(toDate(when));
    for (ParsedEvent* s : series->second) s->endsBefore = std::min(s->endsBefore.value_or(from), from);
    if (!c.change) continue;
    ParsedEvent& change = events[*c.change];
    change.continues = &first;
    change.fromOriginal = from;
    change.shiftSeconds = secondsOf(change.start) - from;
  }
  // Each change holds until the next one of its series.
  for (ParsedEvent& e : events) {
    if (!e.continues) continue;
    for (const ParsedEvent& other : events) {
      if (other.continues == e.continues && other.fromOriginal > e.fromOriginal)
        e.endsBefore = std::min(e.endsBefore.value_or(other.fromOriginal), other.fromOriginal);
    }
  }
}

void excludeChangedOccurrence(ParsedEvent& series, icaltimetype when) {
  if (icaltime_is_date(when) && !series.base.isAllDay) {
    series.excludedDays.insert(dayKey(when));
    return;
  }
  if (!icaltime_is_utc(when) && !when.zone) when.zone = series.dtstart.zone;
  series.excluded.insert(secondsOf(toDate(when)));
}

}  // namespace

IcsCalendarStore::IcsCalendarStore(std::string folder) : folder_(std::move(folder)) {
  configureLibicalOnce();
}

IcsCalendarStore::~IcsCalendarStore() = default;

CalendarAccess IcsCalendarStore::accessStatus() const {
  struct stat st {};
  if (::stat(folder_.c_str(), &st) != 0)
    return errno == EACCES ? CalendarAccess::denied : CalendarAccess::notDetermined;
  if (!S_ISDIR(st.st_mode) || ::access(folder_.c_str(), R_OK | X_OK) != 0) return CalendarAccess::denied;
  return CalendarAccess::authorized;
}

Result<bool> IcsCalendarStore::requestAccess() {
  if (accessStatus() == CalendarAccess::notDetermined) {
    Status created = createDirectories(folder_);
    if (!created.ok()) return Error("IcsCalendarStoreError", 1, created.error().description());
  }
  return accessStatus() == CalendarAccess::authorized;
}

Result<std::shared_ptr<IcsCalendarStore::ParsedFile>> IcsCalendarStore::load(const std::string& path) {
  auto read = readRegularFile(path, kMaximumCalendarFileSize);
  if (!read.ok()) return Error("IcsCalendarStoreError", 2, read.error().description());
  auto file = std::make_shared<ParsedFile>();
  file->root = icalparser_parse_string(repairIcsText(read.value()).c_str());
  if (!file->root) return Error("IcsCalendarStoreError", 3, path + " is not an iCalendar file");
  // A file may hold one VCALENDAR or several (then libical wraps them in an XROOT).
  std::vector<icalcomponent*> calendars;
  if (icalcomponent_isa(file->root) == ICAL_VCALENDAR_COMPONENT) {
    calendars.push_back(file->root);
  } else {
    for (icalcomponent* c = icalcomponent_get_first_component(file->root, ICAL_VCALENDAR_COMPONENT); c;
         c = icalcomponent_get_next_component(file->root, ICAL_VCALENDAR_COMPONENT)) {
      calendars.push_back(c);
    }
  }
  if (calendars.empty()) return Error("IcsCalendarStoreError", 3, path + " holds no VCALENDAR");
  // Changed occurrences may come in a VCALENDAR of their own, after the series.
  std::vector<ChangedOccurrence> changed;
  for (icalcomponent* calendar : calendars) {
    const std::string title = xProperty(calendar, "X-WR-CALNAME").value_or(fs::path(path).stem().string());
    const bool subscription = xProperty(calendar, "X-PUBLISHED-TTL").has_value() ||
                              icalcomponent_get_first_property(calendar, ICAL_REFRESHINTERVAL_PROPERTY) != nullptr ||
                              icalcomponent_get_first_property(calendar, ICAL_SOURCE_PROPERTY) != nullptr;
    for (icalcomponent* c = icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT); c;
         c = icalcomponent_get_next_component(calendar, ICAL_VEVENT_COMPONENT)) {
      const std::set<std::string> unknownZones = resolveTimeZones(calendar, c);
      std::vector<std::string> complaints;
      for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_XLICERROR_PROPERTY); p;
           p = icalcomponent_get_next_property(c, ICAL_XLICERROR_PROPERTY)) {
        if (const char* text = icalproperty_get_xlicerror(p)) complaints.emplace_back(text);
      }
      const icaltimetype dtstart = icalcomponent_get_dtstart(c);
      // A cancelled occurrence still removes the one it replaces.
      std::optional<size_t> changeIndex;
      if (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY)) {
        icaltimetype when = timeOf(p, icalproperty_get_recurrenceid(p), calendar, dtstart.zone);
        if (auto uid = textOf(icalcomponent_get_uid(c)); uid && !icaltime_is_null_time(when)) {
          changed.push_back({*uid, when, isThisAndFuture(p), std::nullopt});
          changeIndex = changed.size() - 1;
        }
      }
      if (icalcomponent_get_status(c) == ICAL_STATUS_CANCELLED) continue;
      if (icaltime_is_null_time(dtstart)) {
        std::string why = "it has no start (DTSTART)";
        for (const std::string& complaint : complaints) {
          auto dropped = droppedProperty(complaint);
          if (dropped && dropped->first == "DTSTART") {
            why = "its start \"" + dropped->second + "\" cannot be read";
          } else if (!dropped && complaint.find("DTSTART") != std::string::npos) {
            why = "its start cannot be read: " + complaint;
          }
        }
        file->notes.push_back({CalendarImportNote::Kind::skipped, nameOf(c), why});
        continue;
      }
      for (const std::string& zone : unknownZones) {
        file->notes.push_back({CalendarImportNote::Kind::unknownTimeZone, nameOf(c), zone});
      }
      for (const std::string& complaint : std::set<std::string>(complaints.begin(), complaints.end())) {
        file->notes.push_back({CalendarImportNote::Kind::unreadablePart, nameOf(c), unreadable(complaint)});
      }
      ParsedEvent event = parseEvent(calendar, c, title, path, subscription, file->notes);
      if (icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY)) {
        event.base.isRecurring = true;
        event.base.occurrenceId = occurrenceId(event.base.uid, event.start);
      }
      if (changeIndex) changed[*changeIndex].change = file->events.size();
      file->events.push_back(std::move(event));
    }
  }
  std::map<std::string, std::vector<ParsedEvent*>> byUid;
  for (ParsedEvent& e : file->events) {
    if (e.repeats()) byUid[e.base.uid].push_back(&e);
  }
  for (const ChangedOccurrence& c : changed) {
    for (ParsedEvent* series : byUid[c.uid]) excludeChangedOccurrence(*series, c.recurrenceId);
  }
  continueChangedSeries(file->events, changed, byUid);
  return file;
}

Result<std::vector<CalendarEvent>> IcsCalendarStore::events(Date start, Date end) {
  std::lock_guard lock(storeMutex());
  if (accessStatus() != CalendarAccess::authorized) {
    return Error("IcsCalendarStoreError", 4, "The calendar folder " + folder_ + " cannot be read");
  }
  std::error_code ec;
  std::set<std::string> present;
  for (const auto& entry : fs::directory_iterator(folder_, ec)) {
    const fs::path& p = entry.path();
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext != ".ics" || !entry.is_regular_file(ec)) continue;
    const std::string path = p.string();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) continue;
    present.insert(path);
    const int64_t mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    auto& cached = files_[path];
    if (cached && cached->size == st.st_size && cached->mtimeNanoseconds == mtime) continue;
    auto loaded = load(path);
    if (!loaded.ok()) {
      // One bad file does not hide the others; it is read again once it changes.
      cached = std::make_shared<ParsedFile>();
    } else {
      cached = loaded.value();
    }
    cached->size = st.st_size;
    cached->mtimeNanoseconds = mtime;
  }
  if (ec) return Error("IcsCalendarStoreError", 5, "Cannot list " + folder_ + ": " + ec.message());
  for (auto it = files_.begin(); it != files_.end();) {
    it = present.count(it->first) ? std::next(it) : files_.erase(it);
  }
  std::vector<CalendarEvent> out;
  for (const auto& [path, file] : files_) {
    for (const ParsedEvent& e : file->events) expand(e, start, end, out);
  }
  std::stable_sort(out.begin(), out.end(), [](const CalendarEvent& a, const CalendarEvent& b) {
    return a.start != b.start ? a.start < b.start : a.occurrenceId < b.occurrenceId;
  });
  return out;
}

Result<CalendarImportSummary> IcsCalendarStore::importCalendar(const std::string& path) {
  std::lock_guard lock(storeMutex());
  auto parsed = load(path);
  if (!parsed.ok()) return parsed.error();
  const ParsedFile& file = *parsed.value();
  if (file.events.empty()) {
    std::string why;
    for (const CalendarImportNote& note : file.notes) why += (why.empty() ? ": " : "; ") + describe(note);
    return Error("IcsCalendarStoreError", 6, path + " holds no events" + why);
  }
  CalendarImportSummary summary;
  summary.eventCount = file.events.size();
  summary.notes = file.notes;
  Status created = createDirectories(folder_);
  if (!created.ok()) return Error("IcsCalendarStoreError", 1, created.error().description());
  std::error_code ec;
  fs::path name = fs::path(path).filename();
  if (name.extension() != ".ics") name += ".ics";
  fs::path target = fs::path(folder_) / name;
  for (int n = 2; fs::exists(target) && !fs::equivalent(target, path, ec); ++n) {
    target = fs::path(folder_) / (name.stem().string() + "-" + std::to_string(n) + ".ics");
  }
  summary.storedPath = target.string();
  if (fs::exists(target) && fs::equivalent(target, path, ec)) return summary;
  // The copy is written from what was parsed, private whatever the original's mode.
  auto text = readRegularFile(path, kMaximumCalendarFileSize);
  Status copied = text.ok() ? writeFileAtomically(target.string(), text.value()) : Status(text.error());
  if (!copied.ok()) {
    return Error("IcsCalendarStoreError", 7,
                 "Cannot copy " + path + " into " + folder_ + ": " + copied.error().description());
  }
  return summary;
}

}  // namespace pallix
