// SourceStatistics: what each source of this process costs while it runs:
// the durations of its last queries, the last pass it ran, the web requests
// it sent today (host and count) and the heap it took while loading.
//
// Recorders call it from any thread (the search runner, the main runner,
// HTTP threads); one mutex guards everything and a record is a map look-up
// and a few stores, well under 1% of the cheapest query
// (bench/status/StatusRecordingBenchmark measures it). Durations come from
// the callers, measured on the clock the work modes use; the wall clock
// given here only decides which local day a request belongs to.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Clock.h"
#include "core/ThreadAnnotations.h"

namespace pallix {

// The durations of the last kCapacity queries; the oldest is overwritten first.
class LatencyRing {
 public:
  static constexpr size_t kCapacity = 100;
  void record(Duration elapsed);
  // Every query recorded, not only the kept ones.
  uint64_t total() const { return total_; }
  size_t size() const { return total_ < kCapacity ? static_cast<size_t>(total_) : kCapacity; }
  // The nearest-rank percentile (0 < p <= 100) of the kept durations; zero when none.
  Duration percentile(double p) const;

 private:
  std::array<Duration, kCapacity> samples_{};
  size_t next_ = 0;
  uint64_t total_ = 0;
};

// Requests per host during the local calendar day of the last record; a
// record or a read on a later local day starts from nothing.
class DailyRequestCounts {
 public:
  void record(const std::string& host, Date now);
  std::map<std::string, uint64_t> today(Date now) const;

 private:
  // year * 10000 + month * 100 + day, in the process's time zone.
  static int64_t localDay(Date date);
  int64_t day_ = -1;
  std::map<std::string, uint64_t> counts_;
};

struct PassRecord {
  std::string kind;  // "full scan", "incremental", ...
  Date finishedAt;
  Duration duration{};
  std::string outcome;
};

// "host[:port]" of a URL ("" when it has none); user names are left out.
std::string requestHost(std::string_view url);
// Bytes the allocator has handed out and not taken back (glibc mallinfo2).
int64_t heapBytesInUse();

class SourceStatistics {
 public:
  // What a loaded source holds: its items and the memory measured for them, and how it was measured.
  struct Footprint {
    std::optional<int64_t> items;
    int64_t bytes = 0;
    std::string measure;
  };
  struct Source {
    std::string name;
    uint64_t queries = 0;  // since the process started
    size_t keptQueries = 0;
    Duration p50{}, p95{};
    std::optional<PassRecord> lastPass;
    std::map<std::string, uint64_t> requestsToday;
    std::optional<Footprint> footprint;
  };

  explicit SourceStatistics(const Clock& clock) : clock_(clock) {}
  // The process's statistics, on the system clock.
  static SourceStatistics& process();
  const Clock& clock() const { return clock_; }

  struct Entry;
  // A source's slot, looked up once (recorders on a hot path keep one).
  class QuerySlot {
   public:
    void record(Duration elapsed) const;

   private:
    friend class SourceStatistics;
    QuerySlot(SourceStatistics* statistics, Entry* entry) : statistics_(statistics), entry_(entry) {}
    SourceStatistics* statistics_;
    Entry* entry_;
  };
  QuerySlot slot(std::string_view source);

  void recordQuery(std::string_view source, Duration elapsed);
  void recordPass(std::string_view source, PassRecord pass);
  void recordRequest(std::string_view source, std::string_view url);
  // What loading the source took from the heap (a heapBytesInUse() delta).
  void recordLoadedHeap(std::string_view source, int64_t bytes);
  void recordFootprint(std::string_view source, Footprint footprint);
  // Every source recorded so far, by name.
  std::vector<Source> snapshot() const;
  void clear();

  struct Entry {
    LatencyRing latency;
    std::optional<PassRecord> lastPass;
    DailyRequestCounts requests;
    std::optional<Footprint> footprint;
  };

 private:
  // Called with mutex_ held.
  Entry& entry(std::string_view source) REQUIRES(mutex_);

  const Clock& clock_;
  mutable Mutex mutex_;
  // Entries are never removed (clear() empties them), so slots stay valid.
  std::map<std::string, Entry, std::less<>> entries_ GUARDED_BY(mutex_);
};

// Times a query from construction to finish() (or destruction) into a slot.
class ScopedQueryTimer {
 public:
  ScopedQueryTimer(const Clock& clock, SourceStatistics::QuerySlot slot)
      : clock_(&clock), slot_(slot), started_(clock.now()) {}
  ~ScopedQueryTimer() { finish(); }
  ScopedQueryTimer(const ScopedQueryTimer&) = delete;
  ScopedQueryTimer& operator=(const ScopedQueryTimer&) = delete;
  void finish() {
    if (!clock_) return;
    slot_.record(clock_->now() - started_);
    clock_ = nullptr;
  }

 private:
  const Clock* clock_;
  SourceStatistics::QuerySlot slot_;
  MonoTime started_;
};

}  // namespace pallix
