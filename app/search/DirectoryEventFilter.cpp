#include "app/search/DirectoryEventFilter.h"

#include "core/Strings.h"

namespace pallix {

bool DirectoryEventFilter::requestsFullScan(const DirectoryEvent& event) {
  return (event.flags & (kDirectoryEventMustScanSubDirs | kDirectoryEventRootChanged | kDirectoryEventMount |
                         kDirectoryEventUnmount)) != 0;
}

bool DirectoryEventFilter::keep(const DirectoryEvent& event) const {
  constexpr uint32_t kRelevant = kDirectoryEventCreated | kDirectoryEventRemoved | kDirectoryEventInodeMetaModified |
                                 kDirectoryEventRenamed | kDirectoryEventModified;
  if (!(event.flags & kRelevant)) return false;
  if (endsWith(event.path, ".app")) return true;
  if (event.path.find(".app/") != std::string::npos &&
      (event.flags & (kDirectoryEventCreated | kDirectoryEventRemoved | kDirectoryEventRenamed))) {
    return true;
  }
  return lists_->coversPath(event.path);
}

bool DirectoryEventFilter::accumulate(const std::vector<DirectoryEvent>& events, ChangeAccumulator& accumulator,
                                      MonoTime now) const {
  bool kept = false;
  for (const DirectoryEvent& event : events) {
    if (requestsFullScan(event)) {
      accumulator.requestFullScan();
      kept = true;
      continue;
    }
    if (!keep(event)) continue;
    accumulator.add(event.path, event.flags, now);
    kept = true;
  }
  return kept;
}

}  // namespace pallix
