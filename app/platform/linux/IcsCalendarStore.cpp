#include "app/platform/linux/IcsCalendarStore.h"

#include <libical/ical.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <set>

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

}  // namespace

// One event component and what every occurrence shares.
struct ParsedEvent {
  icalcomponent* component = nullptr;  // owned by the file's root
  CalendarEvent base;                  // title, place, notes, calendar...
  icaltimetype dtstart;
  Date start;
  int64_t durationSeconds = 0;
  int allDayDays = 0;  // all-day events: length in days
  std::optional<std::string> rrule;
  std::vector<icaltimetype> rdates;
  std::set<int64_t> excluded;  // EXDATEs and changed occurrences (RECURRENCE-ID), seconds since 1970
};

struct IcsCalendarStore::ParsedFile {
  icalcomponent* root = nullptr;
  std::vector<ParsedEvent> events;
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

void emit(const ParsedEvent& e, Date start, bool recurring, std::vector<CalendarEvent>& out) {
  CalendarEvent event = e.base;
  event.start = start;
  if (event.isAllDay) {
    const time_t t = std::chrono::system_clock::to_time_t(start);
    std::tm tm{};
    localtime_r(&t, &tm);
    event.end = fromTimeT(localMidnight(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday + e.allDayDays));
  } else {
    event.end = start + std::chrono::seconds(e.durationSeconds);
  }
  event.isRecurring = recurring;
  event.occurrenceId = recurring ? occurrenceId(event.uid, start) : event.uid;
  out.push_back(std::move(event));
}

bool overlaps(Date start, Date end, Date rangeStart, Date rangeEnd) {
  if (start >= rangeEnd) return false;
  return end > rangeStart || (end == start && start >= rangeStart);
}

void expand(const ParsedEvent& e, Date rangeStart, Date rangeEnd, std::vector<CalendarEvent>& out) {
  const bool recurring = e.rrule || !e.rdates.empty() || e.base.isRecurring;
  auto endOf = [&](Date start) {
    return e.base.isAllDay ? start + std::chrono::seconds(static_cast<int64_t>(e.allDayDays) * kDay + 3600)
                           : start + std::chrono::seconds(e.durationSeconds);
  };
  auto consider = [&](Date start) {
    if (e.excluded.count(secondsOf(start))) return;
    if (overlaps(start, endOf(start), rangeStart, rangeEnd)) emit(e, start, recurring, out);
  };
  if (!e.rrule) {
    consider(e.start);
  } else {
    icalrecurrencetype rule = icalrecurrencetype_from_string(e.rrule->c_str());
    if (rule.freq != ICAL_NO_RECURRENCE) {
      icalrecur_iterator* it = icalrecur_iterator_new(rule, e.dtstart);
      if (it) {
        // Skip straight to the interval when the rule allows it (not with COUNT).
        const Date earliest =
            rangeStart - std::chrono::seconds(e.durationSeconds + static_cast<int64_t>(e.allDayDays + 1) * kDay);
        if (rule.count == 0 && earliest > e.start) icalrecur_iterator_set_start(it, fromDate(earliest, e.dtstart));
        for (int n = 0; n < kMaxOccurrencesPerEvent; ++n) {
          icaltimetype next = icalrecur_iterator_next(it);
          if (icaltime_is_null_time(next)) break;
          next.zone = e.dtstart.zone;
          const Date start = toDate(next);
          if (start >= rangeEnd) break;
          consider(start);
        }
        icalrecur_iterator_free(it);
      }
    }
  }
  for (icaltimetype rdate : e.rdates) {
    if (!rdate.zone && !icaltime_is_utc(rdate)) rdate.zone = e.dtstart.zone;
    consider(toDate(rdate));
  }
}

ParsedEvent parseEvent(icalcomponent* c, const std::string& calendarTitle, const std::string& path, bool subscription) {
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

  icaltimetype dtend = icalcomponent_get_dtend(c);  // also derives it from DURATION
  if (b.isAllDay) {
    int days = 1;
    if (!icaltime_is_null_time(dtend)) {
      days = static_cast<int>((secondsOf(toDate(dtend)) - secondsOf(e.start) + kDay / 2) / kDay);
    }
    e.allDayDays = std::max(days, 1);
  } else if (!icaltime_is_null_time(dtend)) {
    e.durationSeconds = std::max<int64_t>(0, secondsOf(toDate(dtend)) - secondsOf(e.start));
  }
  if (icalproperty* rrule = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY)) {
    if (const char* text = icalproperty_get_value_as_string(rrule)) e.rrule = std::string(text);
  }
  for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RDATE_PROPERTY); p;
       p = icalcomponent_get_next_property(c, ICAL_RDATE_PROPERTY)) {
    icaldatetimeperiodtype rdate = icalproperty_get_rdate(p);
    icaltimetype t = icaltime_is_null_time(rdate.time) ? rdate.period.start : rdate.time;
    if (!icaltime_is_null_time(t)) e.rdates.push_back(t);
  }
  for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_EXDATE_PROPERTY); p;
       p = icalcomponent_get_next_property(c, ICAL_EXDATE_PROPERTY)) {
    icaltimetype t = icalproperty_get_exdate(p);
    if (!t.zone && !icaltime_is_utc(t)) t.zone = e.dtstart.zone;
    if (!icaltime_is_null_time(t)) e.excluded.insert(secondsOf(toDate(t)));
  }
  b.isRecurring = e.rrule.has_value() || !e.rdates.empty();
  return e;
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
  const std::string& text = read.value();
  auto file = std::make_shared<ParsedFile>();
  file->root = icalparser_parse_string(text.c_str());
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
  for (icalcomponent* calendar : calendars) {
    const std::string title = xProperty(calendar, "X-WR-CALNAME").value_or(fs::path(path).stem().string());
    const bool subscription = xProperty(calendar, "X-PUBLISHED-TTL").has_value() ||
                              icalcomponent_get_first_property(calendar, ICAL_REFRESHINTERVAL_PROPERTY) != nullptr ||
                              icalcomponent_get_first_property(calendar, ICAL_SOURCE_PROPERTY) != nullptr;
    std::map<std::string, std::vector<ParsedEvent*>> byUid;
    std::vector<std::pair<std::string, int64_t>> changed;  // uid and RECURRENCE-ID of changed occurrences
    for (icalcomponent* c = icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT); c;
         c = icalcomponent_get_next_component(calendar, ICAL_VEVENT_COMPONENT)) {
      if (icaltime_is_null_time(icalcomponent_get_dtstart(c))) continue;
      if (icalcomponent_get_status(c) == ICAL_STATUS_CANCELLED) continue;
      ParsedEvent event = parseEvent(c, title, path, subscription);
      icaltimetype recurrenceId = icalcomponent_get_recurrenceid(c);
      if (!icaltime_is_null_time(recurrenceId)) {
        if (!recurrenceId.zone && !icaltime_is_utc(recurrenceId)) recurrenceId.zone = event.dtstart.zone;
        changed.emplace_back(event.base.uid, secondsOf(toDate(recurrenceId)));
        event.base.isRecurring = true;
        event.base.occurrenceId = occurrenceId(event.base.uid, event.start);
      }
      file->events.push_back(std::move(event));
    }
    for (auto& e : file->events) byUid[e.base.uid].push_back(&e);
    for (const auto& [uid, when] : changed) {
      for (ParsedEvent* e : byUid[uid]) {
        if (e->rrule || !e->rdates.empty()) e->excluded.insert(when);
      }
    }
  }
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
  if (parsed.value()->events.empty()) {
    return Error("IcsCalendarStoreError", 6, path + " holds no events");
  }
  Status created = createDirectories(folder_);
  if (!created.ok()) return Error("IcsCalendarStoreError", 1, created.error().description());
  std::error_code ec;
  fs::path name = fs::path(path).filename();
  if (name.extension() != ".ics") name += ".ics";
  fs::path target = fs::path(folder_) / name;
  for (int n = 2; fs::exists(target) && !fs::equivalent(target, path, ec); ++n) {
    target = fs::path(folder_) / (name.stem().string() + "-" + std::to_string(n) + ".ics");
  }
  if (fs::exists(target) && fs::equivalent(target, path, ec))
    return CalendarImportSummary{target.string(), parsed.value()->events.size()};
  // The copy is written from what was parsed, private whatever the original's mode.
  auto text = readRegularFile(path, kMaximumCalendarFileSize);
  Status copied = text.ok() ? writeFileAtomically(target.string(), text.value()) : Status(text.error());
  if (!copied.ok()) {
    return Error("IcsCalendarStoreError", 7,
                 "Cannot copy " + path + " into " + folder_ + ": " + copied.error().description());
  }
  return CalendarImportSummary{target.string(), parsed.value()->events.size()};
}

}  // namespace pallix
