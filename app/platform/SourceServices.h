// SourceServices: the platform services the intelligence sources are built
// on, gathered so that the executable hands them over in one piece
// (makeLinuxSourceServices in linux/) and tests hand over fakes.
#pragma once

#include <memory>

#include "app/platform/CalendarStore.h"
#include "app/platform/ContactStore.h"
#include "app/platform/DictionaryService.h"
#include "app/platform/HttpClient.h"
#include "app/platform/LocationService.h"

namespace pallix {

struct SourceServices {
  std::shared_ptr<HttpClient> http;
  std::shared_ptr<CalendarStore> calendarStore;
  std::shared_ptr<DictionaryService> dictionary;
  std::shared_ptr<LocationService> location;
  std::shared_ptr<ContactStore> contactStore;
};

}  // namespace pallix
