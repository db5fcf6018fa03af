// The Linux services of the intelligence sources: libcurl for the web,
// libical over the "Calendars" folder of the data directory, WordNet, and
// GeoClue2 for the position.
#pragma once

#include <string>

#include "app/platform/DataDirectories.h"
#include "app/platform/SourceServices.h"

namespace pallix {

// `userAgent` identifies Pallix to the web services ("Pallix/0.1.0 (...)").
SourceServices makeLinuxSourceServices(const DataDirectories& directories, const std::string& userAgent);

}  // namespace pallix
