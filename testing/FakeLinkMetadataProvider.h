#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "app/platform/LinkMetadataProvider.h"

namespace pallix {

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
