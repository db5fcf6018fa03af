// `pallix model`: install, list and remove embedding models under the
// models directory, and choose the one semantic search uses.
#include <cstdio>
#include <iostream>

#include "SimilaritySearchKit/EmbeddingModel.h"
#include "SimilaritySearchKitBGESmall/InstalledModelStore.h"
#include "app/platform/DataDirectories.h"
#include "app/preferences/IntelligencePreferences.h"
#include "app/semantic/ModelDownloadManager.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "cli/ModelDownloads.h"
#include "core/Formatting.h"
#include "core/Strings.h"
#include "core/Telemetry.h"
#include "core/UserDefaults.h"

namespace pallix::cli {
namespace {

constexpr const char* kUsage =
    "Usage: pallix model install DIR [--name NAME] [--json]\n"
    "       pallix model list [--json]\n"
    "       pallix model remove NAME\n"
    "       pallix model download bge-m3 [--json]\n"
    "       pallix model cancel [bge-m3]\n"
    "       pallix model use bge-small|bge-m3\n\n"
    "install  checks that DIR holds a BERT-family encoder that loads and runs (config.json,\n"
    "         model.safetensors in F32, F16 or BF16, and vocab.txt; without vocab.txt the bundled\n"
    "         uncased vocabulary is used), then copies it into the models directory as NAME\n"
    "         (default bge_small_en, the model semantic search uses), replacing an earlier copy.\n"
    "         A bge-small-en-v1.5 download from Hugging Face has this layout.\n"
    "list     shows each installed model: name, dimension, layers, size on disk, whether it loads.\n"
    "remove   deletes an installed model (NAME bge-m3: the downloaded package).\n"
    "download fetches the large model from the model download server (ModelDownloadManager.baseURL;\n"
    "         there is no default) and unpacks it into the models directory; Ctrl-C cancels.\n"
    "cancel   stops a download running in another pallix process.\n"
    "use      makes semantic search use the model (IntelligencePreferences.selectedModel); bge-m3\n"
    "         must be downloaded. The semantic indexes are rebuilt with the new model.\n"
    "list also shows each model's download state (notDownloaded, downloading, downloaded, failed).\n\n"
    "Exit status: 0 done, 1 the model is unusable or the operation failed, 2 bad arguments,\n"
    "3 no such model.\n";

nlohmann::json toJson(const InstalledModel& m) {
  nlohmann::json j = {{"name", m.name},
                      {"path", m.path},
                      {"dimension", m.dimension},
                      {"layers", m.layers},
                      {"sizeBytes", m.sizeOnDisk},
                      {"loads", m.loads}};
  if (!m.loads) j["error"] = m.loadError;
  return j;
}

int install(InstalledModelStore& store, const std::vector<std::string>& rest, const std::string& name, bool json) {
  if (rest.size() != 2) return usageError("model", "install takes one DIR");
  printProgress("Checking and installing " + rest[1] + "…");
  auto installed = store.install(rest[1], name);
  clearProgress();
  if (!installed.ok()) {
    printError(installed.error().description(),
               "DIR must hold config.json and model.safetensors of a BERT encoder (e.g. bge-small-en-v1.5).");
    return exitStatusFor(installed.error());
  }
  if (json) {
    printJson(toJson(installed.value()));
  } else {
    std::cout << "Installed " << installed->name << " (" << installed->dimension << " dimensions, " << installed->layers
              << " layers, " << humanSize(static_cast<int64_t>(installed->sizeOnDisk)) << ") at "
              << printable(installed->path) << "\n";
    if (installed->name == embeddingModelDirectoryName(EmbeddingModel::bgeSmall) &&
        installed->dimension != embeddingDimensions(EmbeddingModel::bgeSmall)) {
      std::cerr << "pallix: note: semantic indexes expect " << embeddingDimensions(EmbeddingModel::bgeSmall)
                << " dimensions; this model has " << installed->dimension << ".\n";
    }
  }
  return kExitOk;
}

EmbeddingModel selectedModel(UserDefaults& defaults) {
  NotificationCenter unheard;
  return IntelligencePreferences(defaults, unheard).selectedModel();
}

int list(InstalledModelStore& store, bool json) {
  UserDefaults defaults(DataDirectories::fromEnvironment().defaultsPath());
  const EmbeddingModel selected = selectedModel(defaults);
  printProgress("Loading installed models…");
  auto models = store.list();
  clearProgress();
  if (!models.ok()) {
    printError(models.error().description());
    return exitStatusFor(models.error());
  }
  if (json) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& m : models.value()) array.push_back(toJson(m));
    printJson({{"modelsDirectory", store.modelsDirectory()},
               {"models", array},
               {"downloadStates", modelDownloadStatesJson()},
               {"selectedModel", std::string(rawValue(selected))}});
    return kExitOk;
  }
  if (models->empty()) {
    std::cout << "No models installed in " << printable(store.modelsDirectory())
              << ".\nInstall one with 'pallix model install DIR'.\n";
  }
  if (!models->empty()) {
    std::printf("%-20s %9s %6s %10s  %s\n", "NAME", "DIMENSION", "LAYERS", "SIZE", "LOADS");
    for (const auto& m : models.value()) {
      std::printf("%s %9d %6d %10s  %s\n", printableColumn(m.name, 20).c_str(), m.dimension, m.layers,
                  humanSize(static_cast<int64_t>(m.sizeOnDisk)).c_str(),
                  m.loads ? "yes" : printable("no: " + m.loadError).c_str());
    }
  }
  std::fflush(stdout);
  std::cout << "\nDownloads:\n";
  for (const std::string& line : modelDownloadStateLines()) std::cout << "  " << line << "\n";
  std::cout << "\nSemantic search uses: " << rawValue(selected) << "\n";
  return kExitOk;
}

int use(const std::vector<std::string>& rest, bool json) {
  if (rest.size() != 2) return usageError("model", "use takes one model: bge-small or bge-m3");
  auto model = embeddingModelFromRawValue(rest[1]);
  if (!model) return usageError("model", "unknown model " + inQuotes(rest[1]) + " (bge-small or bge-m3)");
  const DataDirectories dirs = DataDirectories::fromEnvironment();
  if (*model == EmbeddingModel::bgeM3 &&
      !verifyModelPackage(dirs.modelsDirectory() + "/" + std::string(embeddingModelPackageFile(*model))).ok()) {
    printError("model: bge-m3 is not downloaded", "Download it first with 'pallix model download bge-m3'.");
    return kExitUnavailable;
  }
  UserDefaults defaults(dirs.defaultsPath());
  IntelligencePreferences preferences(defaults);
  const bool changed = preferences.selectedModel() != *model;
  if (Status set = preferences.setSelectedModel(*model); !set.ok()) {
    printError("model: cannot save the choice: " + set.error().description());
    return exitStatusFor(set.error());
  }
  if (changed) TelemetryService::signal("Intelligence.modelSelected", {{"model", std::string(rawValue(*model))}});
  if (json) {
    printJson({{"selectedModel", std::string(rawValue(*model))}, {"changed", changed}});
  } else if (changed) {
    std::cout << "Semantic search now uses " << rawValue(*model) << ". " << kEmbeddingModelChangeWarning << "\n";
  } else {
    std::cout << rawValue(*model) << " is already in use.\n";
  }
  return kExitOk;
}

int runModel(Args& args) {
  const bool json = args.flag("--json");
  auto name = args.option("--name");
  auto rest = args.positionals();
  if (args.failed()) return usageError("model", args.failure());
  if (rest.empty()) return usageError("model", "missing subcommand (install, list, remove, download, cancel or use)");
  InstalledModelStore store(DataDirectories::fromEnvironment().modelsDirectory());
  const std::string& sub = rest[0];
  if (sub == "install") {
    return install(store, rest, name.value_or(std::string(embeddingModelDirectoryName(EmbeddingModel::bgeSmall))),
                   json);
  }
  if (name) return usageError("model", "--name applies to install only");
  if (sub == "list") {
    if (rest.size() != 1) return usageError("model", "list takes no arguments");
    return list(store, json);
  }
  if (sub == "download") return downloadModelCommand(rest, json);
  if (sub == "cancel") return cancelModelDownloadCommand(rest, json);
  if (sub == "use") return use(rest, json);
  if (sub == "remove") {
    if (rest.size() != 2) return usageError("model", "remove takes one NAME");
    if (int code = 0; removeDownloadedModel(rest[1], code)) return code;
    Status removed = store.remove(rest[1]);
    if (!removed.ok()) {
      printError(removed.error().description(), "Run 'pallix model list' to see the installed models.");
      return removed.error().code() == 4 ? kExitUnavailable : kExitFailure;
    }
    if (json) {
      printJson({{"removed", rest[1]}});
    } else {
      std::cout << "Removed " << printable(rest[1]) << "\n";
    }
    return kExitOk;
  }
  return usageError("model", "unknown subcommand " + inQuotes(sub));
}

}  // namespace

PALLIX_COMMAND("model", "install, list, remove or choose embedding models", kUsage, runModel);

}  // namespace pallix::cli
