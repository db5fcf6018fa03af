// RecordedHttpClient: an HttpClient that counts each request it forwards
// under a source's name in SourceStatistics (host and count per day, for
// `pallix status`), so that every source's web traffic is seen where the
// source is built. Thread-safe as the client it wraps.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "app/platform/HttpClient.h"
#include "core/SourceStatistics.h"

namespace pallix {

class RecordedHttpClient final : public HttpClient {
 public:
  RecordedHttpClient(std::shared_ptr<HttpClient> inner, std::string source,
                     SourceStatistics& statistics = SourceStatistics::process())
      : inner_(std::move(inner)), source_(std::move(source)), statistics_(statistics) {}
  TaskHandle get(HttpRequest request, HttpCompletion completion, HttpProgress progress = {}) override {
    statistics_.recordRequest(source_, request.url);
    return inner_->get(std::move(request), std::move(completion), std::move(progress));
  }

 private:
  std::shared_ptr<HttpClient> inner_;
  std::string source_;
  SourceStatistics& statistics_;
};

}  // namespace pallix
