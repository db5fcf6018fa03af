// What the panel shows, as JSON, written beside each snapshot picture
// ("<path>.json") so that tests read the rows and the detail pane the way
// the picture shows them:
//   {"mode": "clipboard", "sections": [{"title", "rows": [{"title", "detail",
//    "tag", "selected", "tileImageBytes", "tileIconPath", "sourceApp"}]}],
//    "detail": null | {"heading", "text", "imageBytes", "facts": {label: value}},
//    "emptyText": ...}
// Pure function; no thread affinity.
#pragma once

#include <string>

#include "app/views/PanelContent.h"

namespace pallix::views {

std::string panelContentJson(const PanelContent& content);

}  // namespace pallix::views
