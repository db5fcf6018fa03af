// IcsCalendarStore: the calendar store over iCalendar files read with libical
// from one folder (the "Calendars" folder of the data directory): imported
// files and subscriptions saved there. Repeating events are expanded with
// libical's recurrence iterator: every RRULE and RDATE, EXDATEs (a date-only
// one removes that day's occurrence of a timed series) and changed or
// cancelled occurrences with RECURRENCE-ID. Times honour their TZID (the
// file's VTIMEZONE, the system's zone of that name, or the IANA zone ICU maps
// a Windows name or an alias to); UTC times stay UTC; floating times, times in
// a zone nobody knows, and all-day dates are read in the process's time zone.
// An all-day event covers its dates from local midnight to local midnight.
// Common malformations are repaired before parsing (IcsTextRepair.h); what
// could not be read is noted per event in the import summary.
//
// Parsed files are kept and parsed again only when their size or
// modification time changes, so a query costs a directory listing and the
// expansion of the events in its interval.
//
// Threading: callable from any thread. Reads and imports are serialised by
// one process-wide lock, since libical's time-zone tables are global and the
// parsed files are shared by every caller.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/platform/CalendarStore.h"

namespace pallix {

class IcsCalendarStore final : public CalendarStore {
 public:
  static constexpr const char* kFolderName = "Calendars";

  explicit IcsCalendarStore(std::string folder);
  ~IcsCalendarStore() override;

  CalendarAccess accessStatus() const override;
  Result<bool> requestAccess() override;
  Result<std::vector<CalendarEvent>> events(Date start, Date end) override;

  // Checks that `path` is an iCalendar file with events and copies it into
  // the folder (created if needed), keeping its name unless another file
  // has it.
  Result<CalendarImportSummary> importCalendar(const std::string& path) override;
  const std::string& folder() const { return folder_; }

  struct ParsedFile;

 private:
  Result<std::shared_ptr<ParsedFile>> load(const std::string& path);

  std::string folder_;
  std::map<std::string, std::shared_ptr<ParsedFile>> files_;
};

}  // namespace pallix
