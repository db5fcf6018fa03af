#include "app/semantic/ModelDownloadManager.h"

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/ContentDigest.h"
#include "core/FileUtil.h"
#include "core/Telemetry.h"

namespace pallix {

namespace fs = std::filesystem;

namespace {

// A state file holds one short JSON object.
constexpr uint64_t kMaximumStateFileSize = 1 << 20;

// The SHA-256 of a file as hexadecimal text; empty when it cannot be read.
std::string fileDigest(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  Sha256 digest;
  std::vector<char> buffer(1 << 20);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    digest.update(std::string_view(buffer.data(), static_cast<size_t>(in.gcount())));
  }
  if (in.bad()) return "";
  return digest.finishHex();
}

bool processIsAlive(int pid) {
  return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

std::string modelName(EmbeddingModel model) {
  return std::string(rawValue(model));
}

}  // namespace

const char* downloadStateName(DownloadState::Kind kind) {
  switch (kind) {
    case DownloadState::Kind::notDownloaded:
      return "notDownloaded";
    case DownloadState::Kind::downloading:
      return "downloading";
    case DownloadState::Kind::downloaded:
      return "downloaded";
    case DownloadState::Kind::failed:
      return "failed";
  }
  return "notDownloaded";
}

ModelDownloadManager::ModelDownloadManager(Dependencies dependencies) : deps_(std::move(dependencies)) {
  if (deps_.processId == 0) deps_.processId = static_cast<int>(::getpid());
  refreshStates();
}

ModelDownloadManager::~ModelDownloadManager() {
  for (auto& [model, task] : downloadTasks_) {
    task.guard.cancel();
    task.transfer.cancel();
    task.cancelPoll.cancel();
  }
}

std::string ModelDownloadManager::archiveName(EmbeddingModel model) {
  return std::string(embeddingModelPackageFile(model)) + ".zip";
}

Result<std::string> ModelDownloadManager::downloadURL(EmbeddingModel model) const {
  if (!deps_.baseURL || deps_.baseURL->empty()) {
    return Error("ModelDownloadManagerError", 1,
                 std::string("No model download server is set; set ") + kBaseURLKey +
                     " to its address (pallix defaults write " + kBaseURLKey + " https://HOST)");
  }
  auto url = buildURL(*deps_.baseURL, std::string(kDownloadPath) + archiveName(model), {});
  if (!url.ok()) {
    return Error("ModelDownloadManagerError", 2,
                 std::string(kBaseURLKey) + " is \"" + *deps_.baseURL + "\", which is not an http or https address");
  }
  return url;
}

bool ModelDownloadManager::isModelDownloaded(EmbeddingModel model) const {
  std::error_code ec;
  const fs::path dir(deps_.modelsDirectory);
  if (fs::is_directory(dir / std::string(embeddingModelPackageFile(model)), ec)) return true;
  return model == EmbeddingModel::bgeSmall &&
         fs::is_directory(dir / std::string(embeddingModelDirectoryName(model)), ec);
}

DownloadState ModelDownloadManager::state(EmbeddingModel model) const {
  auto it = downloadStates_.find(model);
  return it == downloadStates_.end() ? DownloadState::notDownloaded() : it->second;
}

std::string ModelDownloadManager::stateFilePath(EmbeddingModel model) const {
  return deps_.modelsDirectory + "/." + std::string(embeddingModelPackageFile(model)) + ".download.json";
}

std::string ModelDownloadManager::cancelFilePath(EmbeddingModel model) const {
  return deps_.modelsDirectory + "/." + std::string(embeddingModelPackageFile(model)) + ".cancel";
}

void ModelDownloadManager::writeStateFile(EmbeddingModel model, const DownloadState& state) const {
  std::error_code ec;
  if (state.kind == DownloadState::Kind::notDownloaded || state.kind == DownloadState::Kind::downloaded) {
    fs::remove(stateFilePath(model), ec);
    return;
  }
  if (!fs::is_directory(deps_.modelsDirectory, ec)) return;
  nlohmann::json j = {{"state", downloadStateName(state.kind)},
                      {"progress", state.progress},
                      {"message", state.message},
                      {"pid", deps_.processId}};
  Status written = writeFileAtomically(stateFilePath(model), j.dump() + "\n");
  if (!written.ok()) logger_.error("Cannot record the download state: %s", written.error().description().c_str());
}

std::optional<DownloadState> ModelDownloadManager::readStateFile(EmbeddingModel model) const {
  auto text = readRegularFile(stateFilePath(model), kMaximumStateFileSize);
  if (!text.ok()) return std::nullopt;
  nlohmann::json j = nlohmann::json::parse(text.value(), nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) return std::nullopt;
  const std::string kind = j.value("state", std::string());
  if (kind == "downloading") {
    if (!processIsAlive(j.value("pid", 0))) return DownloadState::failed("The download was interrupted");
    return DownloadState::downloading(j.value("progress", 0.0));
  }
  if (kind == "failed") return DownloadState::failed(j.value("message", std::string("The download failed")));
  return std::nullopt;
}

void ModelDownloadManager::refreshStates() {
  for (EmbeddingModel model : allEmbeddingModels()) {
    if (downloadTasks_.count(model)) continue;
    DownloadState state = DownloadState::notDownloaded();
    if (isModelDownloaded(model)) {
      state = DownloadState::downloaded();
    } else if (auto stored = readStateFile(model)) {
      state = *stored;
    }
    downloadStates_[model] = state;
  }
}

void ModelDownloadManager::setState(EmbeddingModel model, DownloadState state) {
  downloadStates_[model] = state;
  // Progress reaches the disk in whole percents, so a fast download does not write thousands of times.
  const int percent = static_cast<int>(state.progress * 100);
  if (state.kind != DownloadState::Kind::downloading || lastWrittenPercent_[model] != percent ||
      !fs::exists(stateFilePath(model))) {
    lastWrittenPercent_[model] = percent;
    writeStateFile(model, state);
  }
  if (observer_) observer_(model, state);
}

void ModelDownloadManager::forget(EmbeddingModel model) {
  auto it = downloadTasks_.find(model);
  if (it == downloadTasks_.end()) return;
  it->second.guard.cancel();
  it->second.transfer.cancel();
  it->second.checksumRequest.cancel();
  it->second.cancelPoll.cancel();
  std::error_code ec;
  if (!it->second.temporaryPath.empty()) fs::remove(it->second.temporaryPath, ec);
  fs::remove(cancelFilePath(model), ec);
  downloadTasks_.erase(it);
}

void ModelDownloadManager::fail(EmbeddingModel model, const std::string& message, const char* signal,
                                std::map<std::string, std::string> parameters) {
  logger_.error("Model download of %s failed: %s", modelName(model).c_str(), message.c_str());
  parameters["model"] = modelName(model);
  TelemetryService::signal(signal, parameters);
  forget(model);
  setState(model, DownloadState::failed(message));
}

void ModelDownloadManager::downloadModel(EmbeddingModel model) {
  if (downloadTasks_.count(model)) return;
  std::error_code ec;
  Status created = createDirectories(deps_.modelsDirectory);
  if (!created.ok()) {
    setState(model, DownloadState::failed(created.error().description()));
    return;
  }
  fs::remove(cancelFilePath(model), ec);
  Task task;
  task.guard = TaskHandle::make();
  task.temporaryPath = deps_.modelsDirectory + "/." + archiveName(model) + ".partial";
  TaskHandle guard = task.guard;
  downloadTasks_[model] = task;
  setState(model, DownloadState::downloading(0));
  TelemetryService::signal("Intelligence.modelDownloadStarted", {{"model", modelName(model)}});

  auto url = downloadURL(model);
  if (!url.ok()) {
    fail(model, url.error().description(), "Intelligence.modelDownloadFailed", {{"error", url.error().description()}});
    return;
  }
  logger_.info("Downloading %s from %s", modelName(model).c_str(), url.value().c_str());
  HttpRequest request;
  request.url = url.value();
  request.destinationPath = task.temporaryPath;
  request.timeout = Duration::zero();
  request.connectTimeout = std::chrono::seconds(10);
  auto main = deps_.mainRunner;
  auto onProgress = weak_.wrap([this, model, guard](int64_t received, int64_t expected) {
    if (guard.isCancelled() || expected <= 0) return;
    if (auto task = downloadTasks_.find(model); task != downloadTasks_.end()) task->second.expectedBytes = expected;
    setState(model,
             DownloadState::downloading(std::min(1.0, static_cast<double>(received) / static_cast<double>(expected))));
  });
  auto onDone = weak_.wrap([this, model, guard](Result<HttpResponse> response) {
    handleDownloadCompletion(model, guard, std::move(response));
  });
  downloadTasks_[model].transfer = deps_.http->get(
      std::move(request),
      [main, onDone](Result<HttpResponse> response) mutable {
        main->post([onDone, response = std::move(response)]() mutable { onDone(std::move(response)); });
      },
      [main, onProgress](int64_t received, int64_t expected) mutable {
        main->post([onProgress, received, expected]() mutable { onProgress(received, expected); });
      });
  pollCancelRequest(model, guard);
}

void ModelDownloadManager::pollCancelRequest(EmbeddingModel model, TaskHandle guard) {
  auto it = downloadTasks_.find(model);
  if (it == downloadTasks_.end() || guard.isCancelled()) return;
  it->second.cancelPoll = deps_.mainRunner->postDelayed(kCancelPollInterval, weak_.wrap([this, model, guard] {
    if (guard.isCancelled()) return;
    std::error_code ec;
    if (fs::exists(cancelFilePath(model), ec)) {
      cancelDownload(model);
      return;
    }
    pollCancelRequest(model, guard);
  }));
}

void ModelDownloadManager::handleDownloadCompletion(EmbeddingModel model, TaskHandle guard,
                                                    Result<HttpResponse> response) {
  if (guard.isCancelled()) return;
  if (!response.ok()) {
    fail(model, response.error().description(), "Intelligence.modelDownloadFailed",
         {{"error", response.error().description()}});
    return;
  }
  if (response->statusCode != 200) {
    fail(model, "Server returned status " + std::to_string(response->statusCode), "Intelligence.modelDownloadFailed",
         {{"statusCode", std::to_string(response->statusCode)}});
    return;
  }
  const Task& task = downloadTasks_.at(model);
  std::error_code ec;
  const auto received = static_cast<int64_t>(fs::file_size(task.temporaryPath, ec));
  if (ec || (task.expectedBytes > 0 && received != task.expectedBytes)) {
    const std::string message = ec ? "The downloaded archive cannot be read: " + ec.message()
                                   : "The download is incomplete: received " + std::to_string(received) + " of " +
                                         std::to_string(task.expectedBytes) + " bytes";
    fail(model, message, "Intelligence.modelDownloadFailed", {{"error", message}});
    return;
  }
  setState(model, DownloadState::downloading(1.0));
  fetchPublishedDigest(model, guard);
}

void ModelDownloadManager::fetchPublishedDigest(EmbeddingModel model, TaskHandle guard) {
  HttpRequest request;
  request.url = downloadURL(model).value() + ".sha256";
  request.maxBodyBytes = 4096;
  auto main = deps_.mainRunner;
  auto onDone = weak_.wrap([this, model, guard](Result<HttpResponse> response) {
    if (guard.isCancelled()) return;
    std::optional<std::string> digest;
    if (response.ok() && response->statusCode == 200) {
      // "<64 hex digits>" or "<digits>  <file name>", as sha256sum writes it.
      std::istringstream words(response->body);
      std::string first;
      words >> first;
      for (char& c : first) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (first.size() != 64 || first.find_first_not_of("0123456789abcdef") != std::string::npos) {
        const std::string message = "The server's checksum for the model is not a SHA-256 digest";
        fail(model, message, "Intelligence.modelDownloadFailed", {{"error", message}});
        return;
      }
      digest = first;
    } else if (response.ok() && response->statusCode == 404) {
      logger_.info("No published checksum for %s; its size was checked", modelName(model).c_str());
    } else {
      const std::string why =
          response.ok() ? "status " + std::to_string(response->statusCode) : response.error().description();
      logger_.error("Cannot fetch the checksum of %s (%s); its size was checked", modelName(model).c_str(),
                    why.c_str());
    }
    extractModel(model, guard, std::move(digest));
  });
  downloadTasks_.at(model).checksumRequest =
      deps_.http->get(std::move(request), [main, onDone](Result<HttpResponse> response) mutable {
        main->post([onDone, response = std::move(response)]() mutable { onDone(std::move(response)); });
      });
}

void ModelDownloadManager::extractModel(EmbeddingModel model, TaskHandle guard,
                                        std::optional<std::string> publishedDigest) {
  const std::string archive = downloadTasks_.at(model).temporaryPath;
  const std::string directory = deps_.modelsDirectory;
  const std::string package = std::string(embeddingModelPackageFile(model));
  auto runner = deps_.commandRunner;
  auto finish = weak_.wrap(
      [this, model, guard](std::optional<std::string> failure) { finishExtraction(model, guard, std::move(failure)); });
  auto damaged = weak_.wrap([this, model, guard](std::string message) {
    if (!guard.isCancelled()) fail(model, message, "Intelligence.modelDownloadFailed", {{"error", message}});
  });
  deps_.extractionRunner->post([runner, archive, directory, package, guard, main = deps_.mainRunner, finish, damaged,
                                publishedDigest]() mutable {
    if (guard.isCancelled()) return;
    std::optional<std::string> failure;
    if (publishedDigest) {
      const std::string actual = fileDigest(archive);
      if (actual != *publishedDigest) {
        std::string message = "The downloaded model is damaged: its SHA-256 is " +
                              (actual.empty() ? std::string("unreadable") : actual) + ", the server published " +
                              *publishedDigest;
        main->post([damaged, message]() mutable { damaged(message); });
        return;
      }
    }
    auto run = runner->run({kUnzipPath, "-o", "-q", archive, "-d", directory}, kExtractionTimeout);
    if (!run.ok()) {
      failure = "Failed to extract model (exit code -1)";
    } else if (run->exitStatus != 0) {
      failure = "Failed to extract model (exit code " + std::to_string(run->exitStatus) + ")";
    } else {
      std::error_code ec;
      if (!fs::is_directory(fs::path(directory) / package, ec)) {
        failure = "Model extraction failed - file not found after extraction";
      }
    }
    main->post([finish, failure]() mutable { finish(failure); });
  });
}

void ModelDownloadManager::finishExtraction(EmbeddingModel model, TaskHandle guard,
                                            std::optional<std::string> failure) {
  if (guard.isCancelled()) return;
  if (failure) {
    fail(model, *failure, "Intelligence.modelExtractionFailed", {{"error", *failure}});
    return;
  }
  forget(model);
  setState(model, DownloadState::downloaded());
  logger_.info("Model %s downloaded and installed", modelName(model).c_str());
  TelemetryService::signal("Intelligence.modelDownloadCompleted", {{"model", modelName(model)}});
}

void ModelDownloadManager::cancelDownload(EmbeddingModel model) {
  if (!downloadTasks_.count(model)) {
    refreshStates();
    if (state(model).kind == DownloadState::Kind::downloading) {
      // Another process downloads it: ask it to stop.
      Status asked = writeFileAtomically(cancelFilePath(model), std::to_string(deps_.processId) + "\n");
      if (!asked.ok()) logger_.error("Cannot ask for the cancellation: %s", asked.error().description().c_str());
    }
    return;
  }
  forget(model);
  setState(model, DownloadState::notDownloaded());
  TelemetryService::signal("Intelligence.modelDownloadCancelled", {{"model", modelName(model)}});
}

Status ModelDownloadManager::deleteModel(EmbeddingModel model) {
  if (downloadTasks_.count(model)) cancelDownload(model);
  std::error_code ec;
  fs::remove_all(fs::path(deps_.modelsDirectory) / std::string(embeddingModelPackageFile(model)), ec);
  if (ec) {
    return Error("ModelDownloadManagerError", 3,
                 "Cannot delete " + std::string(embeddingModelPackageFile(model)) + ": " + ec.message());
  }
  fs::remove(stateFilePath(model), ec);
  setState(model, DownloadState::notDownloaded());
  TelemetryService::signal("Intelligence.modelDeleted", {{"model", modelName(model)}});
  return okStatus();
}

}  // namespace pallix
