#include <gtest/gtest.h>

#include <map>
#include <random>

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

TEST(ChangeAccumulatorTest, CreateThenRemoveBecomesModified) {
  ChangeAccumulator accumulator;
  accumulator.add("/d/a", kDirectoryEventCreated, at(1));
  accumulator.add("/d/a", kDirectoryEventRemoved, at(2));
  accumulator.add("/d/b", kDirectoryEventRemoved, at(3));
  accumulator.add("/d/b", kDirectoryEventCreated, at(4));
  accumulator.add("/d/c", kDirectoryEventCreated, at(5));
  accumulator.add("/d/c", kDirectoryEventModified, at(6));  // later wins
  auto drained = accumulator.drain();
  EXPECT_FALSE(drained.needsFullScan);
  ASSERT_EQ(drained.changes.size(), 3u);
  EXPECT_EQ(drained.changes[0].path, "/d/a");
  EXPECT_EQ(drained.changes[0].changeType, ChangeType::modified);
  EXPECT_EQ(drained.changes[1].changeType, ChangeType::modified);
  EXPECT_EQ(drained.changes[2].changeType, ChangeType::modified);
  EXPECT_EQ(drained.changes[2].flags, static_cast<uint32_t>(kDirectoryEventModified));
  EXPECT_EQ(accumulator.size(), 0u);
  EXPECT_TRUE(accumulator.drain().changes.empty());
}

TEST(ChangeAccumulatorTest, OverflowAtTenThousandAsksForFullScanOnce) {
  ChangeAccumulator accumulator;
  for (int i = 0; i < 10000; ++i) accumulator.add("/d/" + std::to_string(i), kDirectoryEventCreated, at(i));
  EXPECT_FALSE(accumulator.overflowDetected());
  // Merging into an existing path is not growth.
  accumulator.add("/d/5", kDirectoryEventModified, at(20000));
  EXPECT_FALSE(accumulator.overflowDetected());
  accumulator.add("/d/new", kDirectoryEventCreated, at(20001));
  EXPECT_TRUE(accumulator.overflowDetected());
  EXPECT_EQ(accumulator.size(), 10000u);
  auto drained = accumulator.drain();
  EXPECT_TRUE(drained.needsFullScan);
  EXPECT_EQ(drained.changes.size(), 10000u);
  EXPECT_FALSE(accumulator.drain().needsFullScan);
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

// Random sequences against a direct model of the merge and overflow rules.
TEST(ChangeAccumulatorTest, MatchesModelOnRandomSequences) {
  const uint32_t flagChoices[] = {kDirectoryEventCreated,  kDirectoryEventRemoved,           kDirectoryEventRenamed,
                                  kDirectoryEventModified, kDirectoryEventInodeMetaModified, kDirectoryEventIsFile};
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    const size_t limit = 1 + rng() % 40;
    ChangeAccumulator accumulator(limit);
    std::map<std::string, ChangeType> model;
    bool overflow = false;
    for (int step = 0; step < 400; ++step) {
      if (rng() % 50 == 0) {
        auto drained = accumulator.drain();
        std::map<std::string, ChangeType> got;
        for (const auto& change : drained.changes) got[change.path] = change.changeType;
        ASSERT_EQ(got, model) << "seed " << seed << " step " << step;
        ASSERT_EQ(drained.needsFullScan, overflow);
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
          model[path] = type;
        }
      } else if ((it->second == ChangeType::created && type == ChangeType::removed) ||
                 (it->second == ChangeType::removed && type == ChangeType::created)) {
        it->second = ChangeType::modified;
      } else {
        it->second = type;
      }
    }
  }
}

}  // namespace
}  // namespace pallix
