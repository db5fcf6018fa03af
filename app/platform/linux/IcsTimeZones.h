// The time zones of iCalendar files as calendar programs write them: the
// zones a file defines, the system's, Windows zone names and aliases mapped
// through ICU, and names with a prefix ("/mozilla.org/.../Europe/Berlin").
//
// Threading: libical's zone tables are process-wide; callers serialise (the
// calendar store holds its mutex).
#pragma once

#include <libical/ical.h>

#include <set>
#include <string>

namespace pallix {

// The zone named `tzid` in `calendar`, else the system's zone of that name.
icaltimezone* knownZone(icalcomponent* calendar, const char* tzid);

// Points every TZID of `event` that neither the file nor the system knows by
// that name at the zone it stands for; returns the names that stay unknown
// (their times are read as floating local times).
std::set<std::string> resolveTimeZones(icalcomponent* calendar, icalcomponent* event);

// A date-time property's value in its own zone, else in `fallback` when it
// is a floating time.
icaltimetype timeOf(icalproperty* p, icaltimetype t, icalcomponent* calendar, const icaltimezone* fallback);

}  // namespace pallix
