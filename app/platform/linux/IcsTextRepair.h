// Repairs of iCalendar text that common programs write wrongly but other
// readers accept, made before libical parses it (libical drops the property,
// and with DTSTART the whole event):
//   - a backslash before the separators of a recurrence rule
//     ("RRULE:FREQ=WEEKLY\;BYDAY=MO"), as from text escaping applied to RRULE;
//   - a quoted parameter value that swallowed the property value
//     ("DTSTART;TZID="Europe/Paris:20260312T090000"");
//   - date-times without their seconds ("DTSTART:20260317T0700Z").
// Folded lines are unfolded; everything else is passed on as it is.
//
// A pure function; thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace pallix {

std::string repairIcsText(std::string_view text);

}  // namespace pallix
