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

class FakeLinkMetadataProvider final : public LinkMetadataProvider {
 public:
  Result<LinkMetadata> fetchMetadata(const std::string& url, const CancellationToken& cancel) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++fetchCount_;
    if (cancel.isCancelled()) return Error(kErrorDomain, 1, "cancelled");
    auto it = answers_.find(url);
    if (it == answers_.end()) return Error(kErrorDomain, 2, "no page at " + url);
    return it->second;
  }
  void setAnswer(const std::string& url, Result<LinkMetadata> answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.insert_or_assign(url, std::move(answer));
  }
  int fetchCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fetchCount_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Result<LinkMetadata>> answers_;
  int fetchCount_ = 0;
};

}  // namespace pallix
