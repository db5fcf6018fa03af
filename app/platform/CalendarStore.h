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

// What reading a calendar file noticed about one of its events.
struct CalendarImportNote {
  enum class Kind {
    skipped,          // the event is left out; `detail` says why
    unknownTimeZone,  // `detail` is a zone neither the file nor the system knows: its times are read as local times
    unreadablePart,   // a property was ignored; `detail` says which, quoting it
  };
  Kind kind = Kind::skipped;
  std::string event;  // the event's title, or its UID when it has none
  std::string detail;
  friend bool operator==(const CalendarImportNote&, const CalendarImportNote&) = default;
};

// One line for people: "\"Picnic\" skipped: it has no start (DTSTART)".
inline std::string describe(const CalendarImportNote& note) {
  const std::string name = "\"" + note.event + "\"";
  switch (note.kind) {
    case CalendarImportNote::Kind::skipped:
      return name + " skipped: " + note.detail;
    case CalendarImportNote::Kind::unknownTimeZone:
      return name + ": unknown time zone \"" + note.detail + "\", its times are read as local times";
    case CalendarImportNote::Kind::unreadablePart:
      return name + ": " + note.detail;
  }
  return name;
}

struct CalendarImportSummary {
  std::string storedPath;
  size_t eventCount = 0;  // the events read, changed occurrences included
  std::vector<CalendarImportNote> notes;
  size_t skippedCount() const {
    return static_cast<size_t>(std::count_if(notes.begin(), notes.end(), [](const CalendarImportNote& n) {
      return n.kind == CalendarImportNote::Kind::skipped;
    }));
  }
};

class CalendarStore {
 public:
  virtual ~CalendarStore() = default;
  virtual CalendarAccess accessStatus() const = 0;
  // Asks for access; true when granted.
  virtual Result<bool> requestAccess() = 0;
  // Occurrences overlapping [start, end), sorted by start.
  virtual Result<std::vector<CalendarEvent>> events(Date start, Date end) = 0;
  // Adds the calendar file at `path` to the store; the error says what is wrong with it, the summary
  // which events were left out or read only in part.
  virtual Result<CalendarImportSummary> importCalendar(const std::string& path) = 0;
};

}  // namespace pallix
