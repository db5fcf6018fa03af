#include "app/platform/linux/IcsTimeZones.h"

#include <unicode/ucal.h>

#include <iterator>
#include <optional>

namespace pallix {

namespace {

std::optional<std::string> ascii(const UChar* text, int32_t length) {
  std::string out;
  for (int32_t i = 0; i < length; ++i) {
    if (text[i] >= 0x80) return std::nullopt;
    out.push_back(static_cast<char>(text[i]));
  }
  return out;
}

// The IANA name of a Windows zone name ("W. Europe Standard Time") or of an alias ("US/Pacific"), through
// ICU's tables.
std::optional<std::string> ianaZoneFor(const std::string& tzid) {
  std::u16string id;
  for (char c : tzid) {
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
    id.push_back(static_cast<char16_t>(c));
  }
  UChar out[128];
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = ucal_getTimeZoneIDForWindowsID(id.data(), static_cast<int32_t>(id.size()), nullptr, out,
                                                  static_cast<int32_t>(std::size(out)), &status);
  if (U_SUCCESS(status) && length > 0) return ascii(out, length);
  status = U_ZERO_ERROR;
  UBool isSystemId = false;
  length = ucal_getCanonicalTimeZoneID(id.data(), static_cast<int32_t>(id.size()), out,
                                       static_cast<int32_t>(std::size(out)), &isSystemId, &status);
  if (U_SUCCESS(status) && length > 0 && isSystemId) return ascii(out, length);
  return std::nullopt;
}

}  // namespace

icaltimezone* knownZone(icalcomponent* calendar, const char* tzid) {
  if (icaltimezone* zone = icalcomponent_get_timezone(calendar, tzid)) return zone;
  if (icaltimezone* zone = icaltimezone_get_builtin_timezone_from_tzid(tzid)) return zone;
  return icaltimezone_get_builtin_timezone(tzid);
}

namespace {

// The name of a zone libical knows for `tzid`: itself without surrounding blanks and quotes, the IANA zone
// ICU maps it to, or a known zone at its end ("/mozilla.org/20070129_1/Europe/Berlin").
std::optional<std::string> knownNameFor(icalcomponent* calendar, std::string tzid) {
  const size_t first = tzid.find_first_not_of(" \t\"");
  tzid = first == std::string::npos ? "" : tzid.substr(first, tzid.find_last_not_of(" \t\"") - first + 1);
  auto known = [&](const std::string& name) { return !name.empty() && knownZone(calendar, name.c_str()); };
  if (known(tzid)) return tzid;
  if (auto iana = ianaZoneFor(tzid); iana && known(*iana)) return iana;
  for (size_t slash = tzid.find('/'); slash != std::string::npos; slash = tzid.find('/', slash + 1)) {
    const std::string tail = tzid.substr(slash + 1);
    if (tail.find('/') != std::string::npos && known(tail)) return tail;
  }
  return std::nullopt;
}

}  // namespace

// Points every TZID of `event` that neither the file nor the system knows by that name at the zone it
// stands for; returns the names that stay unknown (their times are read as floating local times).
std::set<std::string> resolveTimeZones(icalcomponent* calendar, icalcomponent* event) {
  std::set<std::string> unknown;
  for (icalproperty* p = icalcomponent_get_first_property(event, ICAL_ANY_PROPERTY); p;
       p = icalcomponent_get_next_property(event, ICAL_ANY_PROPERTY)) {
    icalparameter* param = icalproperty_get_first_parameter(p, ICAL_TZID_PARAMETER);
    const char* tzid = param ? icalparameter_get_tzid(param) : nullptr;
    if (!tzid || !*tzid || knownZone(calendar, tzid)) continue;
    if (auto name = knownNameFor(calendar, tzid)) {
      icalparameter_set_tzid(param, name->c_str());
    } else {
      unknown.insert(tzid);
    }
  }
  return unknown;
}

// A date-time property's value in its own zone, else in `fallback` when it is a floating time.
icaltimetype timeOf(icalproperty* p, icaltimetype t, icalcomponent* calendar, const icaltimezone* fallback) {
  if (icaltime_is_null_time(t) || icaltime_is_utc(t) || icaltime_is_date(t) || t.zone) return t;
  icalparameter* param = icalproperty_get_first_parameter(p, ICAL_TZID_PARAMETER);
  const char* tzid = param ? icalparameter_get_tzid(param) : nullptr;
  t.zone = tzid && *tzid ? knownZone(calendar, tzid) : fallback;
  return t;
}

}  // namespace pallix
