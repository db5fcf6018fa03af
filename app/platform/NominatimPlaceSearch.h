// NominatimPlaceSearch: place search and reverse geocoding over a
// Nominatim-compatible API ("/search", "/reverse", JSON v2 with address
// details). As the public service's usage policy asks, every request carries
// an identifying User-Agent, requests start at most once per second (later
// ones wait their turn), and answers are kept in a small cache (64 answers,
// ten minutes) so that repeating a query does not ask again. The spacing is
// shared with other processes when the owner passes a lock-file spacing. A
// 429 answer is a rateLimited error quoting its Retry-After. The base URL is
// configuration ("NominatimPlaceSearch.baseURL").
//
// Threading: the queue, the pacing timer and the cache are confined to
// `runner`; search and reverseGeocode may be called from any thread, and
// completions run on `runner`. A request cancelled while waiting is never
// sent; one cancelled in flight is abandoned.
#pragma once

#include <deque>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/platform/HttpClient.h"
#include "app/platform/PlaceSearch.h"
#include "app/platform/RequestSpacing.h"

namespace pallix {

class NominatimPlaceSearch final : public PlaceSearch {
 public:
  static constexpr const char* kBaseURLKey = "NominatimPlaceSearch.baseURL";
  static constexpr const char* kDefaultBaseURL = "https://nominatim.openstreetmap.org";
  static constexpr Duration kMinimumInterval = std::chrono::seconds(1);
  static constexpr size_t kCacheCapacity = 64;
  static constexpr Duration kCacheLifetime = std::chrono::minutes(10);

  // `spacing` null: one request a second within this object only.
  NominatimPlaceSearch(std::shared_ptr<HttpClient> http, std::string baseURL, std::string userAgent,
                       TaskRunnerPtr runner, std::shared_ptr<RequestSpacing> spacing = nullptr,
                       Duration timeout = std::chrono::seconds(6));
  ~NominatimPlaceSearch() override;

  TaskHandle search(const PlaceSearchRequest& request, PlaceSearchCompletion completion) override;
  TaskHandle reverseGeocode(const LocationCoordinate& coordinate, const std::string& language,
                            ReverseGeocodeCompletion completion) override;

  Result<std::string> searchURL(const PlaceSearchRequest& request) const;
  Result<std::string> reverseURL(const LocationCoordinate& coordinate, const std::string& language) const;
  static Result<std::vector<MapItem>> parseSearch(std::string_view body);
  static Result<MapItem> parseReverse(std::string_view body);

  // Inspection (tests): answers held, requests sent.
  size_t cachedCount() const { return cache_.size(); }
  size_t sentCount() const { return sent_; }

 private:
  using BodyCompletion = std::function<void(Result<std::string>)>;
  struct Job {
    std::string url;
    TaskHandle handle;
    BodyCompletion deliver;
  };
  struct CacheEntry {
    std::string url;
    MonoTime stored;
    std::string body;
  };

  // Every entry point funnels through here, on `runner_`.
  TaskHandle fetch(Result<std::string> url, BodyCompletion deliver);
  void enqueue(Job job);
  void pump();
  void send(Job job);
  std::optional<std::string> cached(const std::string& url);
  void remember(const std::string& url, std::string body);

  std::shared_ptr<HttpClient> http_;
  std::string baseURL_;
  std::string userAgent_;
  TaskRunnerPtr runner_;
  Duration timeout_;
  std::deque<Job> queue_;
  std::shared_ptr<RequestSpacing> spacing_;
  bool pumpScheduled_ = false;
  std::list<CacheEntry> cache_;  // most recent first
  size_t sent_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace pallix
