// CalendarStore: the user's calendar events, the platform event store behind
// the calendar source. On Linux the events live in iCalendar files in the
// folder "Calendars" of the data directory (IcsCalendarStore, linux/):
// imported files and subscriptions saved there. Access follows the folder:
// absent is "not determined" (granting access creates it), unreadable is
// "denied". FakeCalendarStore holds events in memory.
//
// Threading: events() reads and parses files and may block; call it on a
// worker. Implementations are safe to call from one thread at a time.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "app/platform/GeoTypes.h"
#include "core/Clock.h"
#include "core/Error.h"

namespace pallix {

// One occurrence of an event.
struct CalendarEvent {
  std::string uid;           // the event's identifier in its calendar
  std::string occurrenceId;  // unique per occurrence: the uid, plus the start for repeating events
  std::string title;
  Date start;
  Date end;
  bool isAllDay = false;
  bool isRecurring = false;
  std::optional<std::string> location;
  std::optional<std::string> notes;
  std::optional<std::string> url;
  std::optional<LocationCoordinate> geo;  // the event's geographic position, when it carries one
  std::string calendarTitle;
  std::string sourcePath;  // the file the event comes from
  bool isSubscription = false;
  friend bool operator==(const CalendarEvent&, const CalendarEvent&) = default;
};

enum class CalendarAccess { notDetermined, denied, authorized };

struct CalendarImportSummary {
  std::string storedPath;
  size_t eventCount = 0;
};

class CalendarStore {
 public:
  virtual ~CalendarStore() = default;
  virtual CalendarAccess accessStatus() const = 0;
  // Asks for access; true when granted.
  virtual Result<bool> requestAccess() = 0;
  // Occurrences overlapping [start, end), sorted by start.
  virtual Result<std::vector<CalendarEvent>> events(Date start, Date end) = 0;
  // Adds the calendar file at `path` to the store; the error says what is wrong with it.
  virtual Result<CalendarImportSummary> importCalendar(const std::string& path) = 0;
};

}  // namespace pallix
