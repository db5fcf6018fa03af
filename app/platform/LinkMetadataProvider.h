// LinkMetadataProvider: what a web page says about itself (title, site icon,
// preview image), for the link previews of the clipboard history.
//
// linux/CurlLinkMetadataProvider fetches and parses the page; the fake
// answers from a table (tests). fetchMetadata() blocks until the page and its
// images arrived or failed; it is called on the clipboard service's
// link-metadata runner and must stop early once `cancel` is set.
// Implementations are thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "core/Error.h"
#include "core/TaskRunner.h"

namespace pallix {

struct LinkMetadata {
  std::optional<std::string> title;
  std::optional<std::string> iconImageData;     // image bytes
  std::optional<std::string> previewImageData;  // image bytes
  bool empty() const { return !title && !iconImageData && !previewImageData; }
};

class LinkMetadataProvider {
 public:
  static constexpr const char* kErrorDomain = "LinkMetadataError";
  virtual ~LinkMetadataProvider() = default;
  virtual Result<LinkMetadata> fetchMetadata(const std::string& url, const CancellationToken& cancel) = 0;
};

}  // namespace pallix
