// FileSearchPlan: how FileSearcher reads one query's answer from the store,
// best first. Scores depend only on the tier (how the name matched) and the
// recency bucket; the answer is ordered by score, tier, modification date
// (newest first, undated last) and row order.
//
// Plans: when few records can match (counted in the name index, or through
// the filters' column indexes), all are read and ordered in memory.
// Otherwise the answer is read class by class (tier and bucket) in answer
// order, stopping once it is full: a tier with few records is read whole, a
// larger one newest first through the date index (read whole after all when
// its matches prove too sparse there).
//
// Internal to app/search. Runs on the caller's thread with the caller's
// connection, whose progress handler it borrows to bound the work of
// counting.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "app/search/FileSearchResult.h"
#include "app/search/FileSearcher.h"

namespace pallix::filesearch {

// How a record matched, best first. Both exact tiers score alike; the name
// as typed with its extension ("kestrel.conf") comes before a name that
// equals the text only without its own extension ("kestrel.conf.sample"),
// because people type the name they see.
enum Tier : int { kExact = 0, kExactStem = 1, kPrefix = 2, kSubstring = 3, kFilterOnly = 4 };
constexpr int kTiers = 5;
constexpr std::array<int, kTiers> kTierScore = {100, 100, 90, 80, 50};
constexpr std::array<FileMatchType, kTiers> kTierMatchType = {FileMatchType::exact, FileMatchType::exact,
                                                              FileMatchType::prefix, FileMatchType::substring,
                                                              FileMatchType::filterOnly};
// Recency buckets, freshest first: modified less than 1, 7 and 30 days ago,
// then older or undated. Scores are in hundredths so that SQL and C++ agree.
constexpr int kBuckets = 4;
constexpr std::array<int, kBuckets> kRecencyBonus = {15, 10, 5, 0};
constexpr std::array<double, kBuckets - 1> kBucketAgeSeconds = {86400, 7 * 86400, 30 * 86400};
constexpr int kPhraseBonus = 10;

inline int bucketFor(std::optional<Date> modified, const DateContext& context) {
  if (!modified) return kBuckets - 1;
  const double seconds = secondsSince1970(*modified);
  const double now = secondsSince1970(context.now);
  for (int b = 0; b < kBuckets - 1; ++b) {
    if (seconds > now - kBucketAgeSeconds[static_cast<size_t>(b)]) return b;
  }
  return kBuckets - 1;
}

inline int scoreHundredths(int tier, int bucket, size_t phrases) {
  return std::min<int>(100, kTierScore[static_cast<size_t>(tier)] + kPhraseBonus * static_cast<int>(phrases) +
                                kRecencyBonus[static_cast<size_t>(bucket)]);
}

// A record chosen for the answer, in answer order.
struct Candidate {
  int64_t id;
  int tier;
  int bucket;
  std::optional<double> modified;
};

// The best `wanted` records for `query`, in answer order.
Result<std::vector<Candidate>> bestCandidates(sqlite3* db, const ParsedQuery& query, const DateContext& context,
                                              const FileSearchTuning& tuning, size_t wanted);
// The records matching `query`, counted up to `bound`.
Result<int64_t> countMatching(sqlite3* db, const ParsedQuery& query, const DateContext& context, int64_t bound);

}  // namespace pallix::filesearch
