#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "app/platform/DirectoryWatcher.h"
#include "app/search/ChangeAccumulator.h"

namespace pallix {
namespace {

MonoTime at(int ms) {
  return MonoTime{} + std::chrono::milliseconds(ms);
}

TEST(ChangeAccumulatorTest, ChangeTypePrecedence) {
  EXPECT_EQ(changeTypeFromFlags(kDirectoryEventRemoved | kDirectoryEventCreated), ChangeType::removed);
  EXPECT_EQ(changeTypeFromFlags(kDirectoryEventCreated | kDirectoryEventRenamed), ChangeType::created);
  EXPECT_EQ(changeTypeFromFlags(kDirectoryEventRenamed | kDirectoryEventModified), ChangeType::renamed);
  EXPECT_EQ(changeTypeFromFlags(kDirectoryEventInodeMetaModified), ChangeType::modified);
  EXPECT_EQ(changeTypeFromFlags(kDirectoryEventIsFile), ChangeType::unknown);
}

// The default bound; merging, draining and smaller bounds are the model's.
TEST(ChangeAccumulatorTest, OverflowsPastTenThousandPaths) {
  ChangeAccumulator accumulator;
  for (int i = 0; i < 10000; ++i) accumulator.add("/d/" + std::to_string(i), kDirectoryEventCreated, at(i));
  EXPECT_FALSE(accumulator.overflowDetected());
  accumulator.add("/d/new", kDirectoryEventCreated, at(20001));
  EXPECT_TRUE(accumulator.overflowDetected());
}

TEST(ChangeAccumulatorTest, RescanRequestSurvivesUntilDrained) {
  ChangeAccumulator accumulator;
  accumulator.requestFullScan();
  accumulator.add("/x", kDirectoryEventCreated, at(1));
  auto drained = accumulator.drain();
  EXPECT_TRUE(drained.needsFullScan);
  EXPECT_EQ(drained.changes.size(), 1u);
  accumulator.requestFullScan();
  accumulator.clear();
  EXPECT_FALSE(accumulator.drain().needsFullScan);
}

TEST(ChangeAccumulatorTest, RestoredChangesMergeUnderNewerOnes) {
  ChangeAccumulator accumulator;
  accumulator.add("/a", kDirectoryEventCreated, at(1));
  accumulator.add("/b", kDirectoryEventModified, at(2));
  auto drained = accumulator.drain();
  accumulator.add("/a", kDirectoryEventRemoved, at(3));  // arrived while the run was busy
  accumulator.restore(drained.changes);
  auto again = accumulator.drain();
  std::map<std::string, ChangeType> types;
  for (const auto& change : again.changes) types[change.path] = change.changeType;
  EXPECT_EQ(types.at("/a"), ChangeType::modified);  // created (older) then removed (newer)
  EXPECT_EQ(types.at("/b"), ChangeType::modified);
}

// Random sequences against a direct model of the merge and overflow rules:
// a later change replaces an earlier one, except that created and removed
// make modified with both flags; changes drain oldest first.
TEST(ChangeAccumulatorTest, MatchesModelOnRandomSequences) {
  const uint32_t flagChoices[] = {kDirectoryEventCreated,  kDirectoryEventRemoved,           kDirectoryEventRenamed,
                                  kDirectoryEventModified, kDirectoryEventInodeMetaModified, kDirectoryEventIsFile};
  using Change = std::tuple<MonoTime, std::string, ChangeType, uint32_t>;
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    const size_t limit = 1 + rng() % 40;
    ChangeAccumulator accumulator(limit);
    std::map<std::string, Change> model;
    bool overflow = false;
    for (int step = 0; step < 400; ++step) {
      if (rng() % 50 == 0) {
        auto drained = accumulator.drain();
        std::vector<Change> got, expected;
        for (const auto& c : drained.changes) got.emplace_back(c.timestamp, c.path, c.changeType, c.flags);
        for (const auto& [path, change] : model) expected.push_back(change);
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(got, expected) << "seed " << seed << " step " << step;
        ASSERT_EQ(drained.needsFullScan, overflow);
        ASSERT_EQ(accumulator.size(), 0u);
        model.clear();
        overflow = false;
        continue;
      }
      std::string path = "/p" + std::to_string(rng() % 60);
      uint32_t flags = flagChoices[rng() % std::size(flagChoices)];
      ChangeType type = changeTypeFromFlags(flags);
      accumulator.add(path, flags, at(step));
      auto it = model.find(path);
      if (it == model.end()) {
        if (model.size() >= limit) {
          overflow = true;
        } else {
          model[path] = Change{at(step), path, type, flags};
        }
      } else if (auto& [time, p, was, wasFlags] = it->second;
                 (was == ChangeType::created && type == ChangeType::removed) ||
                 (was == ChangeType::removed && type == ChangeType::created)) {
        it->second = Change{at(step), path, ChangeType::modified, wasFlags | flags};
      } else {
        it->second = Change{at(step), path, type, flags};
      }
    }
  }
}

}  // namespace
}  // namespace pallix
