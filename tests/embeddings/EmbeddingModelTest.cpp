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

TEST(EmbeddingModelTest, ShownTextsAndThreadCounts) {
  const struct {
    EmbeddingModel model;
    int dimensions;
    const char *description, *packageFile;
  } models[] = {{EmbeddingModel::bgeSmall, 384, "384 dimensions · Optimized for messages and documents",
                 "bge_small_en.mlpackage"},
                {EmbeddingModel::bgeM3, 1024, "1024 dimensions · Best quality, multilingual", "bge_m3.mlpackage"}};
  for (const auto& m : models) {
    EXPECT_EQ(embeddingDimensions(m.model), m.dimensions) << m.packageFile;
    EXPECT_EQ(embeddingModelDescription(m.model), m.description);
    EXPECT_EQ(embeddingModelPackageFile(m.model), m.packageFile);
  }
  EXPECT_EQ(embeddingModelSizeText(EmbeddingModel::bgeSmall), "~64 MB (bundled)");
  EXPECT_EQ(embeddingModelDirectoryName(EmbeddingModel::bgeSmall), "bge_small_en");
  const struct {
    EmbeddingComputeUnits units;
    const char *title, *description;
    int threadsOfEight;
  } units[] = {
      {EmbeddingComputeUnits::cpu, "CPU Only", "Lower performance, lowest power usage", 1},
      {EmbeddingComputeUnits::cpuGpu, "CPU & GPU", "Balanced performance and power", 4},
      {EmbeddingComputeUnits::cpuNe, "CPU & Neural Engine", "Best for Apple Silicon Macs", 4},
      {EmbeddingComputeUnits::all, "All (CPU, GPU, Neural Engine)", "Maximum performance, higher power usage", 8}};
  for (const auto& u : units) {
    EXPECT_EQ(computeUnitsTitle(u.units), u.title);
    EXPECT_EQ(computeUnitsDescription(u.units), u.description) << u.title;
    EXPECT_EQ(threadCount(u.units, 8), u.threadsOfEight) << u.title;
  }
  EXPECT_EQ(threadCount(EmbeddingComputeUnits::cpuNe, 1), 1);
  EXPECT_EQ(threadCount(EmbeddingComputeUnits::all, 0), 1);  // unknown core count
  EXPECT_GE(threadCount(EmbeddingComputeUnits::all), 1);
}

}  // namespace
}  // namespace pallix
