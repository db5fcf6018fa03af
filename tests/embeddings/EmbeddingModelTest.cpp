#include <gtest/gtest.h>

#include "SimilaritySearchKit/EmbeddingModel.h"

namespace pallix {
namespace {

TEST(EmbeddingModelTest, RawValuesDimensionsAndThreadCounts) {
  for (auto m : allEmbeddingModels()) EXPECT_EQ(embeddingModelFromRawValue(rawValue(m)), m);
  EXPECT_EQ(rawValue(EmbeddingModel::bgeSmall), "bge-small");
  EXPECT_EQ(rawValue(EmbeddingModel::bgeM3), "bge-m3");
  EXPECT_FALSE(embeddingModelFromRawValue("bge-large").has_value());
  EXPECT_FALSE(embeddingModelFromRawValue("").has_value());
  for (auto u : allComputeUnits()) EXPECT_EQ(computeUnitsFromRawValue(rawValue(u)), u);
  EXPECT_FALSE(computeUnitsFromRawValue("gpu").has_value());
  EXPECT_FALSE(computeUnitsFromRawValue("CPU").has_value());
  EXPECT_EQ(embeddingDimensions(EmbeddingModel::bgeSmall), 384);
  EXPECT_EQ(embeddingDimensions(EmbeddingModel::bgeM3), 1024);
  const std::pair<EmbeddingComputeUnits, int> threadsOfEight[] = {{EmbeddingComputeUnits::cpu, 1},
                                                                  {EmbeddingComputeUnits::cpuGpu, 4},
                                                                  {EmbeddingComputeUnits::cpuNe, 4},
                                                                  {EmbeddingComputeUnits::all, 8}};
  for (const auto& [units, threads] : threadsOfEight) EXPECT_EQ(threadCount(units, 8), threads) << rawValue(units);
  EXPECT_EQ(threadCount(EmbeddingComputeUnits::cpuNe, 1), 1);
  EXPECT_EQ(threadCount(EmbeddingComputeUnits::all, 0), 1);  // unknown core count
  EXPECT_GE(threadCount(EmbeddingComputeUnits::all), 1);
}

}  // namespace
}  // namespace pallix
