// `pallix calendar import FILE.ics`, `pallix calendar upcoming [--within 1h]`
// and `pallix calendar search TEXT`: the calendar source alone.
#include <iostream>

#include "cli/Command.h"
#include "cli/Display.h"
#include "cli/IntelligenceDisplay.h"
#include "cli/SourceCommandSupport.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

constexpr const char* kUsage =
    "Usage: pallix calendar import FILE.ics\n"
    "       pallix calendar upcoming [--within DURATION] [--json]\n"
    "       pallix calendar search TEXT... [--json]\n\n"
    "Events come from the iCalendar files in the folder Calendars of the data directory ('pallix paths'):\n"
    "imported files and subscriptions saved there. Repeating events, all-day events and time zones are\n"
    "read as the file says.\n\n"
    "import    checks FILE.ics and copies it into the folder (creating it); events it cannot read are\n"
    "          listed with the reason, and so are time zones nobody knows (read as local times).\n"
    "upcoming  events starting within DURATION (default 1h; 90m, 2h, 3d, or seconds).\n"
    "search    events as the panel finds them (\"standup tomorrow\", \"events next hour\").\n\n"
    "Exit status: 0 done, 1 no events or a bad file, 2 usage error, 3 no calendar folder.\n";

std::optional<double> parseDuration(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || value <= 0) return std::nullopt;
  const std::string unit(end);
  if (unit.empty() || unit == "s") return value;
  if (unit == "m" || unit == "min") return value * 60;
  if (unit == "h") return value * 3600;
  if (unit == "d") return value * 86400;
  return std::nullopt;
}

std::string countOf(size_t n, const std::string& noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

const char* kindName(CalendarImportNote::Kind kind) {
  switch (kind) {
    case CalendarImportNote::Kind::skipped:
      return "skipped";
    case CalendarImportNote::Kind::unknownTimeZone:
      return "unknownTimeZone";
    case CalendarImportNote::Kind::unreadablePart:
      return "unreadablePart";
  }
  return "skipped";
}

nlohmann::json importJson(const CalendarImportSummary& summary) {
  nlohmann::json notes = nlohmann::json::array();
  for (const CalendarImportNote& note : summary.notes) {
    notes.push_back({{"kind", kindName(note.kind)}, {"event", note.event}, {"detail", note.detail}});
  }
  return {{"file", summary.storedPath},
          {"events", summary.eventCount},
          {"skipped", summary.skippedCount()},
          {"notes", notes}};
}

int printEvents(const std::vector<CalendarSearchResult>& events, bool json, const std::string& none) {
  if (json) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& e : events) out.push_back(calendarJson(e));
    printJson(out);
  } else if (events.empty()) {
    std::cout << none << "\n";
  } else {
    for (const std::string& line : calendarLines(events)) std::cout << line << "\n";
  }
  return events.empty() ? kExitFailure : kExitOk;
}

int runCalendar(Args& args) {
  const bool json = args.flag("--json");
  auto within = args.option("--within");
  auto rest = args.positionals();
  if (args.failed()) return usageError("calendar", args.failure());
  if (rest.empty()) return usageError("calendar", "missing subcommand (import, upcoming or search)");
  SourceCommandRuntime rt;
  auto store = rt.sources->services().calendarStore;
  auto calendar = rt.sources->calendar;
  if (!store || !calendar) {
    printError("calendar: no calendar store is available");
    return kExitUnavailable;
  }
  const std::string& sub = rest[0];
  if (sub == "import") {
    if (rest.size() != 2) return usageError("calendar", "import takes one FILE.ics");
    auto imported = store->importCalendar(rest[1]);
    if (!imported.ok()) {
      printError("calendar: " + imported.error().description(), "Give an iCalendar (.ics) file with events.");
      return exitStatusFor(imported.error());
    }
    if (json) {
      printJson(importJson(*imported));
    } else {
      std::cout << "Imported " << countOf(imported->eventCount, "event") << " into " << printable(imported->storedPath);
      if (const size_t skipped = imported->skippedCount()) std::cout << " (" << skipped << " skipped)";
      std::cout << "\n";
      for (const CalendarImportNote& note : imported->notes) std::cout << "  " << printable(describe(note)) << "\n";
    }
    return kExitOk;
  }
  if (store->accessStatus() != CalendarAccess::authorized) {
    printError(store->accessStatus() == CalendarAccess::denied ? "calendar: the calendar folder cannot be read"
                                                               : "calendar: there are no calendars yet",
               "Import one with 'pallix calendar import FILE.ics'.");
    return kExitUnavailable;
  }
  if (sub == "upcoming") {
    if (rest.size() != 1) return usageError("calendar", "upcoming takes no arguments");
    auto seconds = parseDuration(within.value_or("1h"));
    if (!seconds) return usageError("calendar", "--within wants a duration such as 30m, 1h or 2d");
    bool answered = false;
    std::vector<CalendarSearchResult> events;
    calendar->upcomingEvents(*seconds, 50, [&](std::vector<CalendarSearchResult> found) {
      events = std::move(found);
      answered = true;
    });
    rt.runUntil([&] { return answered; });
    return printEvents(events, json, "No events within " + within.value_or("1h") + ".");
  }
  if (sub == "search") {
    if (within) return usageError("calendar", "--within applies to upcoming only");
    if (rest.size() < 2) return usageError("calendar", "search needs a text");
    const std::string text = joinStrings(std::vector<std::string>(rest.begin() + 1, rest.end()), " ");
    auto events = CalendarSearchDataSource::search(*store, text, SystemClock::instance().wallNow(), {});
    return printEvents(events, json, "No events match " + printable(inQuotes(text)) + ".");
  }
  return usageError("calendar", "unknown subcommand " + inQuotes(sub));
}

}  // namespace

PALLIX_COMMAND("calendar", "import calendars and list upcoming events", kUsage, runCalendar);

}  // namespace pallix::cli
