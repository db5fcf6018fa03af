#include "app/platform/linux/LinuxSourceServices.h"

#include "app/platform/VCardContactStore.h"
#include "app/platform/linux/CurlHttpClient.h"
#include "app/platform/linux/GeoClueLocationService.h"
#include "app/platform/linux/IcsCalendarStore.h"
#include "app/platform/linux/WordNetDictionary.h"

namespace pallix {

SourceServices makeLinuxSourceServices(const DataDirectories& directories, const std::string& userAgent) {
  SourceServices services;
  services.http = std::make_shared<CurlHttpClient>(userAgent);
  services.calendarStore = std::make_shared<IcsCalendarStore>(directories.data + "/" + IcsCalendarStore::kFolderName);
  services.dictionary = std::make_shared<WordNetDictionary>();
  services.location = std::make_shared<GeoClueLocationService>();
  services.contactStore = std::make_shared<VCardContactStore>(VCardContactStore::defaultFolder(directories));
  return services;
}

}  // namespace pallix
