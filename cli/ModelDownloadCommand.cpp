// `pallix model download MODEL`, `pallix model cancel [MODEL]` and the
// download states of `pallix model list`.
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <thread>

#include "app/platform/DataDirectories.h"
#include "app/platform/linux/CurlHttpClient.h"
#include "app/platform/linux/ProcessCommandRunner.h"
#include "app/semantic/ModelDownloadManager.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "cli/ModelDownloads.h"
#include "cli/StopSignal.h"
#include "core/RunLoop.h"
#include "core/Strings.h"
#include "core/UserDefaults.h"

namespace pallix::cli {
namespace {

std::atomic<bool> g_interrupted{false};

struct Downloads {
  DataDirectories dirs = DataDirectories::fromEnvironment();
  std::shared_ptr<RunLoop> loop = RunLoop::create();
  std::shared_ptr<SerialExecutor> extraction = SerialExecutor::create("pallix-unzip");
  std::unique_ptr<ModelDownloadManager> manager;

  Downloads() {
    UserDefaults defaults(dirs.defaultsPath());
    ModelDownloadManager::Dependencies deps;
    deps.modelsDirectory = dirs.modelsDirectory();
    deps.baseURL = defaults.stringValue(ModelDownloadManager::kBaseURLKey);
    deps.http = std::make_shared<CurlHttpClient>(std::string("Pallix/") + PALLIX_VERSION + " (model download)");
    deps.commandRunner = std::make_shared<ProcessCommandRunner>();
    deps.mainRunner = loop;
    deps.extractionRunner = extraction;
    manager = std::make_unique<ModelDownloadManager>(deps);
  }
  ~Downloads() {
    extraction->shutdown();
    manager.reset();
  }
  // Runs the loop until `done()` or Ctrl-C (true) or `limit`.
  template <typename Done>
  bool runUntil(Done done, Duration limit) {
    const MonoTime deadline = SystemClock::instance().now() + limit;
    loop->runUntilIdle();
    while (!done() && !g_interrupted && SystemClock::instance().now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      loop->runUntilIdle();
    }
    return g_interrupted;
  }
};

std::optional<EmbeddingModel> modelArgument(const std::vector<std::string>& rest) {
  if (rest.size() != 2) return std::nullopt;
  return embeddingModelFromRawValue(rest[1]);
}

nlohmann::json stateJson(const DownloadState& s) {
  nlohmann::json j = {{"state", downloadStateName(s.kind)}};
  if (s.kind == DownloadState::Kind::downloading) j["progress"] = s.progress;
  if (s.kind == DownloadState::Kind::failed) j["message"] = s.message;
  return j;
}

std::string stateText(const DownloadState& s) {
  switch (s.kind) {
    case DownloadState::Kind::downloading:
      return stringPrintf("downloading %d%%", static_cast<int>(s.progress * 100));
    case DownloadState::Kind::failed:
      return "failed: " + s.message;
    default:
      return downloadStateName(s.kind);
  }
}

}  // namespace

int downloadModelCommand(const std::vector<std::string>& rest, bool json) {
  auto model = modelArgument(rest);
  if (!model) return usageError("model", "download takes one model: bge-m3");
  if (*model == EmbeddingModel::bgeSmall) {
    return usageError("model", "bge-small comes with Pallix; install a copy with 'pallix model install DIR'");
  }
  Downloads d;
  if (d.manager->isModelDownloaded(*model)) {
    std::cout << rawValue(*model) << " is already downloaded.\n";
    return kExitOk;
  }
  if (d.manager->state(*model).kind == DownloadState::Kind::failed) {
    std::cerr << "pallix: model: the last download failed (" << printable(d.manager->state(*model).message)
              << "); trying again\n";
  }
  if (auto url = d.manager->downloadURL(*model); !url.ok()) {
    printError("model: " + url.error().description());
    return kExitUnavailable;
  }
  (void)installStopSignalHandler([] { g_interrupted = true; });
  d.manager->setObserver([](EmbeddingModel m, const DownloadState& s) {
    if (s.kind == DownloadState::Kind::downloading) printProgress(std::string(rawValue(m)) + ": " + stateText(s));
  });
  if (Status started = d.manager->downloadModel(*model); !started.ok()) {
    printError("model: " + started.error().description(), "Stop it with 'pallix model cancel'.");
    return exitStatusFor(started.error());
  }
  const bool interrupted = d.runUntil([&] { return !d.manager->isDownloadingHere(*model); }, std::chrono::hours(24));
  clearProgress();
  if (interrupted) {
    d.manager->cancelDownload(*model);
    std::cerr << "pallix: model: download cancelled\n";
    return kExitInterrupted;
  }
  const DownloadState state = d.manager->state(*model);
  if (json) printJson({{"model", std::string(rawValue(*model))}, {"download", stateJson(state)}});
  if (state.kind == DownloadState::Kind::downloaded) {
    if (!json)
      std::cout << "Downloaded " << rawValue(*model) << " into " << printable(d.dirs.modelsDirectory()) << "\n";
    return kExitOk;
  }
  if (state.kind == DownloadState::Kind::notDownloaded) {
    printError("model: the download of " + std::string(rawValue(*model)) + " was cancelled");
    return kExitFailure;
  }
  printError("model: " + state.message, "Check ModelDownloadManager.baseURL ('pallix defaults read') and the network.");
  return kExitFailure;
}

int cancelModelDownloadCommand(const std::vector<std::string>& rest, bool json) {
  if (rest.size() > 2) return usageError("model", "cancel takes at most one model");
  const std::optional<EmbeddingModel> model =
      rest.size() == 2 ? embeddingModelFromRawValue(rest[1]) : std::optional<EmbeddingModel>(EmbeddingModel::bgeM3);
  if (!model) return usageError("model", "unknown model " + inQuotes(rest[1]) + " (bge-small or bge-m3)");
  Downloads d;
  if (d.manager->state(*model).kind != DownloadState::Kind::downloading) {
    printError("model: no download of " + std::string(rawValue(*model)) + " is running");
    return kExitFailure;
  }
  d.manager->cancelDownload(*model);
  // The downloading process looks for the request every 250 ms.
  const MonoTime deadline = SystemClock::instance().now() + std::chrono::seconds(10);
  while (SystemClock::instance().now() < deadline) {
    d.manager->refreshStates();
    if (d.manager->state(*model).kind != DownloadState::Kind::downloading) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const DownloadState state = d.manager->state(*model);
  if (json) printJson({{"model", std::string(rawValue(*model))}, {"download", stateJson(state)}});
  if (state.kind == DownloadState::Kind::downloading) {
    printError("model: the downloading process did not stop within 10 s");
    return kExitFailure;
  }
  if (!json) std::cout << "Cancelled the download of " << rawValue(*model) << ".\n";
  return kExitOk;
}

std::vector<std::string> modelDownloadStateLines() {
  Downloads d;
  std::vector<std::string> lines;
  for (EmbeddingModel m : allEmbeddingModels()) {
    lines.push_back(
        stringPrintf("%-10s %s", std::string(rawValue(m)).c_str(), printable(stateText(d.manager->state(m))).c_str()));
  }
  return lines;
}

nlohmann::json modelDownloadStatesJson() {
  Downloads d;
  nlohmann::json out = nlohmann::json::object();
  for (EmbeddingModel m : allEmbeddingModels()) out[std::string(rawValue(m))] = stateJson(d.manager->state(m));
  return out;
}

bool removeDownloadedModel(const std::string& name, int& exitCode) {
  auto model = embeddingModelFromRawValue(name);
  if (!model || *model != EmbeddingModel::bgeM3) return false;
  Downloads d;
  std::error_code ec;
  // A package left incomplete by a failed download is removable too.
  if (!std::filesystem::exists(d.manager->packagePath(*model), ec)) {
    printError("model: " + name + " is not downloaded", "Run 'pallix model list' to see the models.");
    exitCode = kExitUnavailable;
    return true;
  }
  Status removed = d.manager->deleteModel(*model);
  if (!removed.ok()) {
    printError("model: " + removed.error().description());
    exitCode = kExitFailure;
  } else {
    std::cout << "Removed " << rawValue(*model) << "\n";
    exitCode = kExitOk;
  }
  return true;
}

}  // namespace pallix::cli
