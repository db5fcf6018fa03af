#include "SimilaritySearchKit/EmbeddingModel.h"

#include <thread>

namespace pallix {

std::string_view rawValue(EmbeddingModel model) {
  return model == EmbeddingModel::bgeSmall ? "bge-small" : "bge-m3";
}

std::optional<EmbeddingModel> embeddingModelFromRawValue(std::string_view raw) {
  for (auto m : allEmbeddingModels()) {
    if (rawValue(m) == raw) return m;
  }
  return std::nullopt;
}

std::vector<EmbeddingModel> allEmbeddingModels() {
  return {EmbeddingModel::bgeSmall, EmbeddingModel::bgeM3};
}

int embeddingDimensions(EmbeddingModel model) {
  return model == EmbeddingModel::bgeSmall ? 384 : 1024;
}

std::string_view embeddingModelDescription(EmbeddingModel model) {
  return model == EmbeddingModel::bgeSmall ? "384 dimensions · Optimized for messages and documents"
                                           : "1024 dimensions · Best quality, multilingual";
}

std::string_view embeddingModelSizeText(EmbeddingModel model) {
  return model == EmbeddingModel::bgeSmall ? "~64 MB (bundled)" : "";
}

std::string_view embeddingModelPackageFile(EmbeddingModel model) {
  return model == EmbeddingModel::bgeSmall ? "bge_small_en.mlpackage" : "bge_m3.mlpackage";
}

std::string_view embeddingModelDirectoryName(EmbeddingModel model) {
  return model == EmbeddingModel::bgeSmall ? "bge_small_en" : "bge_m3";
}

std::string_view rawValue(EmbeddingComputeUnits units) {
  switch (units) {
    case EmbeddingComputeUnits::cpu:
      return "cpu";
    case EmbeddingComputeUnits::cpuGpu:
      return "cpuGpu";
    case EmbeddingComputeUnits::cpuNe:
      return "cpuNe";
    case EmbeddingComputeUnits::all:
      return "all";
  }
  return "all";
}

std::optional<EmbeddingComputeUnits> computeUnitsFromRawValue(std::string_view raw) {
  for (auto u : allComputeUnits()) {
    if (rawValue(u) == raw) return u;
  }
  return std::nullopt;
}

std::vector<EmbeddingComputeUnits> allComputeUnits() {
  return {EmbeddingComputeUnits::cpu, EmbeddingComputeUnits::cpuGpu, EmbeddingComputeUnits::cpuNe,
          EmbeddingComputeUnits::all};
}

std::string_view computeUnitsTitle(EmbeddingComputeUnits units) {
  switch (units) {
    case EmbeddingComputeUnits::cpu:
      return "CPU Only";
    case EmbeddingComputeUnits::cpuGpu:
      return "CPU & GPU";
    case EmbeddingComputeUnits::cpuNe:
      return "CPU & Neural Engine";
    case EmbeddingComputeUnits::all:
      return "All (CPU, GPU, Neural Engine)";
  }
  return "";
}

std::string_view computeUnitsDescription(EmbeddingComputeUnits units) {
  switch (units) {
    case EmbeddingComputeUnits::cpu:
      return "Lower performance, lowest power usage";
    case EmbeddingComputeUnits::cpuGpu:
      return "Balanced performance and power";
    case EmbeddingComputeUnits::cpuNe:
      return "Best for Apple Silicon Macs";
    case EmbeddingComputeUnits::all:
      return "Maximum performance, higher power usage";
  }
  return "";
}

int threadCount(EmbeddingComputeUnits units, int onlineCores) {
  const int cores = onlineCores > 0 ? onlineCores : 1;
  switch (units) {
    case EmbeddingComputeUnits::cpu:
      return 1;
    case EmbeddingComputeUnits::cpuGpu:
    case EmbeddingComputeUnits::cpuNe:
      return cores / 2 > 0 ? cores / 2 : 1;
    case EmbeddingComputeUnits::all:
      return cores;
  }
  return 1;
}

int threadCount(EmbeddingComputeUnits units) {
  return threadCount(units, static_cast<int>(std::thread::hardware_concurrency()));
}

}  // namespace pallix
