#include <gtest/gtest.h>

#include "SimilaritySearchKit/EmbeddingModel.h"

namespace pallix {
namespace {

TEST(EmbeddingModelTest, RawValuesRoundTripAndRejectUnknown) {
  for (auto m : allEmbeddingModels()) EXPECT_EQ(embeddingModelFromRawValue(rawValue(m)), m);
  EXPECT_EQ(rawValue(EmbeddingModel::bgeSmall), "bge-small");
  EXPECT_EQ(rawValue(EmbeddingModel::bgeM3), "bge-m3");
  EXPECT_FALSE(embeddingModelFromRawValue("bge-large").has_value());
  EXPECT_FALSE(embeddingModelFromRawValue("").has_value());
  for (auto u : allComputeUnits()) EXPECT_EQ(computeUnitsFromRawValue(rawValue(u)), u);
  EXPECT_FALSE(computeUnitsFromRawValue("gpu").has_value());
  EXPECT_FALSE(computeUnitsFromRawValue("CPU").has_value());
}

TEST(EmbeddingModelTest, ShownTexts) {
  EXPECT_EQ(embeddingDimensions(EmbeddingModel::bgeSmall), 384);
  EXPECT_EQ(embeddingDimensions(EmbeddingModel::bgeM3), 1024);
  EXPECT_EQ(embeddingModelDescription(EmbeddingModel::bgeSmall),
            "384 dimensions · Optimized for messages and documents");
  EXPECT_EQ(embeddingModelDescription(EmbeddingModel::bgeM3), "1024 dimensions · Best quality, multilingual");
  EXPECT_EQ(embeddingModelSizeText(EmbeddingModel::bgeSmall), "~64 MB (bundled)");
  EXPECT_EQ(embeddingModelPackageFile(EmbeddingModel::bgeSmall), "bge_small_en.mlpackage");
  EXPECT_EQ(embeddingModelPackageFile(EmbeddingModel::bgeM3), "bge_m3.mlpackage");
  EXPECT_EQ(embeddingModelDirectoryName(EmbeddingModel::bgeSmall), "bge_small_en");
  EXPECT_EQ(computeUnitsTitle(EmbeddingComputeUnits::cpu), "CPU Only");
  EXPECT_EQ(computeUnitsTitle(EmbeddingComputeUnits::cpuGpu), "CPU & GPU");
  EXPECT_EQ(computeUnitsTitle(EmbeddingComputeUnits::cpuNe), "CPU & Neural Engine");
  EXPECT_EQ(computeUnitsTitle(EmbeddingComputeUnits::all), "All (CPU, GPU, Neural Engine)");
  EXPECT_EQ(computeUnitsDescription(EmbeddingComputeUnits::cpu), "Lower performance, lowest power usage");
  EXPECT_EQ(computeUnitsDescription(EmbeddingComputeUnits::cpuGpu), "Balanced performance and power");
  EXPECT_EQ(computeUnitsDescription(EmbeddingComputeUnits::cpuNe), "Best for Apple Silicon Macs");
  EXPECT_EQ(computeUnitsDescription(EmbeddingComputeUnits::all), "Maximum performance, higher power usage");
}

TEST(EmbeddingModelTest, ComputeUnitsMapToThreadCounts) {
  EXPECT_EQ(threadCount(EmbeddingComputeUnits::cpu, 8), 1);
  EXPECT_EQ(threadCount(EmbeddingComputeUnits::cpuGpu, 8), 4);
  EXPECT_EQ(threadCount(EmbeddingComputeUnits::cpuNe, 8), 4);
  EXPECT_EQ(threadCount(EmbeddingComputeUnits::all, 8), 8);
  EXPECT_EQ(threadCount(EmbeddingComputeUnits::cpuNe, 1), 1);
  EXPECT_EQ(threadCount(EmbeddingComputeUnits::all, 0), 1);  // unknown core count
  EXPECT_GE(threadCount(EmbeddingComputeUnits::all), 1);
}

}  // namespace
}  // namespace pallix
