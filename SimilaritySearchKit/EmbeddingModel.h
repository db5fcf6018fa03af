// EmbeddingModel and EmbeddingComputeUnits: the user's choice of embedding
// model and of the hardware it runs on. Raw values are what is persisted.
//
// On Linux the compute units choose how many CPU threads the encoder runtime
// gives OpenBLAS (there is no GPU or Neural Engine path):
//   cpu     -> 1 thread (lowest power)
//   cpuGpu  -> half of the online cores, at least 1 (balanced)
//   cpuNe   -> half of the online cores, at least 1 (balanced)
//   all     -> every online core (maximum throughput)
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pallix {

enum class EmbeddingModel { bgeSmall, bgeM3 };

std::string_view rawValue(EmbeddingModel model);
std::optional<EmbeddingModel> embeddingModelFromRawValue(std::string_view raw);
std::vector<EmbeddingModel> allEmbeddingModels();
int embeddingDimensions(EmbeddingModel model);
std::string_view embeddingModelDescription(EmbeddingModel model);
// "~64 MB (bundled)" for the small model; empty for the large one, whose size
// comes from its download.
std::string_view embeddingModelSizeText(EmbeddingModel model);
std::string_view embeddingModelPackageFile(EmbeddingModel model);
// The folder under the models directory that holds the installed model ("bge_small_en", "bge_m3").
std::string_view embeddingModelDirectoryName(EmbeddingModel model);

inline constexpr const char* kEmbeddingModelDidChangeNotification = "EmbeddingModelDidChange";
inline constexpr const char* kEmbeddingModelChangeWarning =
    "Changing models will delete the current semantic index and reindex all content. This may take a while depending "
    "on the amount of data.";

enum class EmbeddingComputeUnits { cpu, cpuGpu, cpuNe, all };

std::string_view rawValue(EmbeddingComputeUnits units);
std::optional<EmbeddingComputeUnits> computeUnitsFromRawValue(std::string_view raw);
std::vector<EmbeddingComputeUnits> allComputeUnits();
std::string_view computeUnitsTitle(EmbeddingComputeUnits units);
std::string_view computeUnitsDescription(EmbeddingComputeUnits units);
// CPU threads for the encoder on a machine with `onlineCores` cores (see the mapping above).
int threadCount(EmbeddingComputeUnits units, int onlineCores);
// The same with the cores of this machine.
int threadCount(EmbeddingComputeUnits units);

inline constexpr const char* kComputeUnitsExplanation =
    "Controls which hardware the embedding model uses. Neural Engine provides the best performance on Apple Silicon. "
    "Changes take effect the next time the model loads.";

}  // namespace pallix
