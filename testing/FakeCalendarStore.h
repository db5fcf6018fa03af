#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "app/platform/CalendarStore.h"

namespace pallix {

class FakeCalendarStore final : public CalendarStore {
 public:
  CalendarAccess accessStatus() const override { return access; }
  Result<bool> requestAccess() override {
    ++accessRequests;
    if (access == CalendarAccess::notDetermined) access = grant ? CalendarAccess::authorized : CalendarAccess::denied;
    return access == CalendarAccess::authorized;
  }
  Result<std::vector<CalendarEvent>> events(Date start, Date end) override {
    ++queries;
    if (failure) return *failure;
    std::vector<CalendarEvent> out;
    for (const auto& e : all) {
      if (e.start < end && (e.end > start || (e.end == e.start && e.start >= start))) out.push_back(e);
    }
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
    return out;
  }

  Result<CalendarImportSummary> importCalendar(const std::string& path) override {
    imported.push_back(path);
    return CalendarImportSummary{path, 0};
  }

  std::vector<CalendarEvent> all;
  std::vector<std::string> imported;
  CalendarAccess access = CalendarAccess::authorized;
  bool grant = true;
  std::optional<Error> failure;
  int accessRequests = 0;
  int queries = 0;
};

}  // namespace pallix
