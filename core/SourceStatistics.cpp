#include "core/SourceStatistics.h"

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <ctime>

namespace pallix {

void LatencyRing::record(Duration elapsed) {
  samples_[next_] = elapsed;
  next_ = (next_ + 1) % kCapacity;
  ++total_;
}

Duration LatencyRing::percentile(double p) const {
  const size_t n = size();
  if (n == 0) return Duration::zero();
  std::array<Duration, kCapacity> sorted = samples_;
  // Nearest rank: the smallest value with at least p% of the values at or below it.
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(n)));
  rank = std::clamp<size_t>(rank, 1, n);
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<ptrdiff_t>(rank - 1),
                   sorted.begin() + static_cast<ptrdiff_t>(n));
  return sorted[rank - 1];
}

int64_t DailyRequestCounts::localDay(Date date) {
  const std::time_t t = std::chrono::system_clock::to_time_t(date);
  std::tm local{};
  localtime_r(&t, &local);
  return int64_t(local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

void DailyRequestCounts::record(const std::string& host, Date now) {
  const int64_t day = localDay(now);
  if (day != day_) {
    counts_.clear();
    day_ = day;
  }
  ++counts_[host];
}

std::map<std::string, uint64_t> DailyRequestCounts::today(Date now) const {
  if (localDay(now) != day_) return {};
  return counts_;
}

std::string requestHost(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  std::string_view rest = url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (size_t at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(at + 1);
  return std::string(rest);
}

int64_t heapBytesInUse() {
  const struct mallinfo2 info = ::mallinfo2();
  return static_cast<int64_t>(info.uordblks + info.hblkhd);
}

SourceStatistics& SourceStatistics::process() {
  static SourceStatistics* statistics = new SourceStatistics(SystemClock::instance());
  return *statistics;
}

SourceStatistics::Entry& SourceStatistics::entry(std::string_view source) {
  auto it = entries_.find(source);
  if (it == entries_.end()) it = entries_.emplace(std::string(source), Entry{}).first;
  return it->second;
}

SourceStatistics::QuerySlot SourceStatistics::slot(std::string_view source) {
  MutexLock lock(mutex_);
  return QuerySlot(this, &entry(source));
}

void SourceStatistics::QuerySlot::record(Duration elapsed) const {
  MutexLock lock(statistics_->mutex_);
  entry_->latency.record(elapsed);
}

void SourceStatistics::recordQuery(std::string_view source, Duration elapsed) {
  MutexLock lock(mutex_);
  entry(source).latency.record(elapsed);
}

void SourceStatistics::recordPass(std::string_view source, PassRecord pass) {
  MutexLock lock(mutex_);
  entry(source).lastPass = std::move(pass);
}

void SourceStatistics::recordRequest(std::string_view source, std::string_view url) {
  const std::string host = requestHost(url);
  const Date now = clock_.wallNow();
  MutexLock lock(mutex_);
  entry(source).requests.record(host, now);
}

void SourceStatistics::recordLoadedHeap(std::string_view source, int64_t bytes) {
  recordFootprint(source, {std::nullopt, bytes, "heap taken while loading, mallinfo2"});
}

void SourceStatistics::recordFootprint(std::string_view source, Footprint footprint) {
  MutexLock lock(mutex_);
  entry(source).footprint = std::move(footprint);
}

std::vector<SourceStatistics::Source> SourceStatistics::snapshot() const {
  const Date now = clock_.wallNow();
  MutexLock lock(mutex_);
  std::vector<Source> out;
  out.reserve(entries_.size());
  for (const auto& [name, e] : entries_) {
    Source s;
    s.name = name;
    s.queries = e.latency.total();
    s.keptQueries = e.latency.size();
    s.p50 = e.latency.percentile(50);
    s.p95 = e.latency.percentile(95);
    s.lastPass = e.lastPass;
    s.requestsToday = e.requests.today(now);
    s.footprint = e.footprint;
    out.push_back(std::move(s));
  }
  return out;
}

void SourceStatistics::clear() {
  MutexLock lock(mutex_);
  for (auto& [name, e] : entries_) e = Entry{};
}

}  // namespace pallix
