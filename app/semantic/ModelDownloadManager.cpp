#include "app/semantic/ModelDownloadManager.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
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

constexpr const char* kDomain = "ModelDownloadManagerError";
// A safetensors header above this is not one.
constexpr uint64_t kMaximumTensorHeader = 100 << 20;

Status verifyTensorFile(const std::string& path) {
  std::error_code ec;
  const uint64_t size = fs::file_size(path, ec);
  if (ec) return Error(kDomain, 4, "model.safetensors cannot be read: " + ec.message());
  std::ifstream in(path, std::ios::binary);
  unsigned char lengthBytes[8] = {};
  if (!in.read(reinterpret_cast<char*>(lengthBytes), 8)) {
    return Error(kDomain, 4, "model.safetensors is cut short: " + std::to_string(size) + " bytes, no header");
  }
  uint64_t headerLength = 0;
  for (int i = 7; i >= 0; --i) headerLength = (headerLength << 8) | lengthBytes[i];
  if (headerLength > kMaximumTensorHeader || headerLength > size - 8) {
    return Error(kDomain, 4,
                 "model.safetensors is cut short or damaged: its header claims " + std::to_string(headerLength) +
                     " bytes of " + std::to_string(size));
  }
  std::string header(headerLength, '\0');
  in.read(header.data(), static_cast<std::streamsize>(headerLength));
  nlohmann::json tensors = nlohmann::json::parse(header, nullptr, /*allow_exceptions=*/false);
  if (!in || !tensors.is_object()) return Error(kDomain, 4, "model.safetensors has a damaged header");
  uint64_t dataEnd = 0;
  for (const auto& [name, tensor] : tensors.items()) {
    if (name == "__metadata__") continue;
    const auto offsets = tensor.is_object() ? tensor.value("data_offsets", nlohmann::json()) : nlohmann::json();
    if (!offsets.is_array() || offsets.size() != 2 || !offsets[1].is_number_unsigned()) {
      return Error(kDomain, 4, "model.safetensors has a damaged header entry \"" + name + "\"");
    }
    dataEnd = std::max(dataEnd, offsets[1].get<uint64_t>());
  }
  const uint64_t expected = 8 + headerLength + dataEnd;
  if (size != expected) {
    return Error(kDomain, 4,
                 "model.safetensors is " + std::string(size < expected ? "cut short" : "longer than its header says") +
                     ": " + std::to_string(size) + " of " + std::to_string(expected) + " bytes");
  }
  return okStatus();
}

}  // namespace

Status verifyModelPackage(const std::string& packageDirectory) {
  std::error_code ec;
  if (!fs::is_directory(packageDirectory, ec)) return Error(kDomain, 4, packageDirectory + " is not a folder");
  for (const char* file : kModelPackageFiles) {
    const std::string path = packageDirectory + "/" + file;
    if (!fs::is_regular_file(path, ec) || fs::file_size(path, ec) == 0 || ec) {
      return Error(kDomain, 4, std::string(file) + " is missing or empty");
    }
  }
  auto config = readRegularFile(packageDirectory + "/config.json", kMaximumStateFileSize);
  if (!config.ok()) return Error(kDomain, 4, "config.json cannot be read: " + config.error().description());
  if (!nlohmann::json::parse(config.value(), nullptr, /*allow_exceptions=*/false).is_object()) {
    return Error(kDomain, 4, "config.json is not a JSON object");
  }
  return verifyTensorFile(packageDirectory + "/model.safetensors");
}

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
    if (task.lockDescriptor >= 0) ::close(task.lockDescriptor);
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

std::string ModelDownloadManager::packagePath(EmbeddingModel model) const {
  return (fs::path(deps_.modelsDirectory) / std::string(embeddingModelPackageFile(model))).string();
}

bool ModelDownloadManager::isModelDownloaded(EmbeddingModel model) const {
  std::error_code ec;
  if (model == EmbeddingModel::bgeM3) return verifyModelPackage(packagePath(model)).ok();
  const fs::path dir(deps_.modelsDirectory);
  return fs::is_directory(packagePath(model), ec) ||
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

std::string ModelDownloadManager::lockFilePath(EmbeddingModel model) const {
  return deps_.modelsDirectory + "/." + std::string(embeddingModelPackageFile(model)) + ".download.lock";
}

Result<int> ModelDownloadManager::acquireDownloadLock(EmbeddingModel model) const {
  const std::string path = lockFilePath(model);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return Error(kDomain, 5, "Cannot open " + path + ": " + std::strerror(errno));
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int why = errno;
    char holder[32] = {};
    const ssize_t n = ::pread(fd, holder, sizeof(holder) - 1, 0);
    ::close(fd);
    if (why != EWOULDBLOCK) return Error(kDomain, 5, "Cannot lock " + path + ": " + std::strerror(why));
    const int pid = n > 0 ? std::atoi(holder) : 0;
    return Error(kDomain, 6,
                 modelName(model) + " is already being downloaded" +
                     (pid > 0 ? " by process " + std::to_string(pid) : std::string()) +
                     "; wait for that download to finish or cancel it");
  }
  const std::string pid = std::to_string(deps_.processId) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    logger_.error("Cannot record this process in %s: %s", path.c_str(), std::strerror(errno));
  }
  return fd;
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

int ModelDownloadManager::forget(EmbeddingModel model) {
  auto it = downloadTasks_.find(model);
  if (it == downloadTasks_.end()) return -1;
  it->second.guard.cancel();
  it->second.transfer.cancel();
  it->second.checksumRequest.cancel();
  it->second.cancelPoll.cancel();
  std::error_code ec;
  if (!it->second.temporaryPath.empty()) fs::remove(it->second.temporaryPath, ec);
  fs::remove(cancelFilePath(model), ec);
  const int lock = it->second.lockDescriptor;
  downloadTasks_.erase(it);
  return lock;
}

void ModelDownloadManager::end(EmbeddingModel model, DownloadState state) {
  const int lock = forget(model);
  // The final state reaches the disk before another download may take the lock.
  setState(model, std::move(state));
  if (lock >= 0) ::close(lock);
}

void ModelDownloadManager::fail(EmbeddingModel model, const std::string& message, const char* signal,
                                std::map<std::string, std::string> parameters) {
  logger_.error("Model download of %s failed: %s", modelName(model).c_str(), message.c_str());
  parameters["model"] = modelName(model);
  TelemetryService::signal(signal, parameters);
  end(model, DownloadState::failed(message));
}

std::string ModelDownloadManager::stagingPath(EmbeddingModel model) const {
  return deps_.modelsDirectory + "/." + std::string(embeddingModelPackageFile(model)) + ".extracting";
}

Status ModelDownloadManager::downloadModel(EmbeddingModel model) {
  if (downloadTasks_.count(model)) return okStatus();
  std::error_code ec;
  Status created = createDirectories(deps_.modelsDirectory);
  if (!created.ok()) {
    setState(model, DownloadState::failed(created.error().description()));
    return okStatus();
  }
  auto lock = acquireDownloadLock(model);
  if (!lock.ok()) {
    logger_.error("Not downloading %s: %s", modelName(model).c_str(), lock.error().description().c_str());
    refreshStates();
    return lock.error();
  }
  Task task;
  task.lockDescriptor = lock.value();
  task.guard = TaskHandle::make();
  task.temporaryPath = deps_.modelsDirectory + "/." + archiveName(model) + ".partial";
  // Holding the lock, whatever an earlier download left behind is stale.
  fs::remove(cancelFilePath(model), ec);
  fs::remove(task.temporaryPath, ec);
  fs::remove_all(stagingPath(model), ec);
  TaskHandle guard = task.guard;
  downloadTasks_[model] = task;
  setState(model, DownloadState::downloading(0));
  TelemetryService::signal("Intelligence.modelDownloadStarted", {{"model", modelName(model)}});

  auto url = downloadURL(model);
  if (!url.ok()) {
    fail(model, url.error().description(), "Intelligence.modelDownloadFailed", {{"error", url.error().description()}});
    return okStatus();
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
  return okStatus();
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
  const std::string staging = stagingPath(model);
  const std::string destination = packagePath(model);
  const std::string package = std::string(embeddingModelPackageFile(model));
  auto runner = deps_.commandRunner;
  auto finish = weak_.wrap(
      [this, model, guard](std::optional<std::string> failure) { finishExtraction(model, guard, std::move(failure)); });
  auto damaged = weak_.wrap([this, model, guard](std::string message) {
    if (!guard.isCancelled()) fail(model, message, "Intelligence.modelDownloadFailed", {{"error", message}});
  });
  deps_.extractionRunner->post([runner, archive, staging, destination, package, guard, main = deps_.mainRunner, finish,
                                damaged, publishedDigest]() mutable {
    if (guard.isCancelled()) return;
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
    std::optional<std::string> failure = installArchive(*runner, archive, staging, destination, package);
    main->post([finish, failure]() mutable { finish(failure); });
  });
}

std::optional<std::string> ModelDownloadManager::installArchive(CommandRunner& runner, const std::string& archive,
                                                                const std::string& staging,
                                                                const std::string& destination,
                                                                const std::string& package) {
  std::error_code ec;
  fs::remove_all(staging, ec);
  auto cleanup = [&] {
    std::error_code ignored;
    fs::remove_all(staging, ignored);
  };
  if (Status created = createDirectories(staging); !created.ok()) return created.error().description();
  auto run = runner.run({kUnzipPath, "-o", "-q", archive, "-d", staging}, kExtractionTimeout);
  if (!run.ok() || run->exitStatus != 0) {
    cleanup();
    return "Failed to extract model (exit code " + std::to_string(run.ok() ? run->exitStatus : -1) + ")";
  }
  const fs::path unpacked = fs::path(staging) / package;
  if (!fs::is_directory(unpacked, ec)) {
    cleanup();
    return std::string("Model extraction failed - file not found after extraction");
  }
  if (Status complete = verifyModelPackage(unpacked.string()); !complete.ok()) {
    cleanup();
    return "Model extraction failed - the package is incomplete: " + complete.error().description();
  }
  // A package already in place (an earlier install, or what an older version
  // left of a failed one) is moved aside first, so the rename is atomic.
  if (fs::exists(destination, ec)) {
    const fs::path previous = fs::path(staging) / (package + ".previous");
    fs::rename(destination, previous, ec);
    if (ec) {
      const std::string why = ec.message();
      cleanup();
      return "Cannot replace " + destination + ": " + why;
    }
  }
  fs::rename(unpacked, destination, ec);
  const std::string why = ec ? ec.message() : std::string();
  cleanup();
  if (!why.empty()) return "Cannot move the model into " + destination + ": " + why;
  return std::nullopt;
}

void ModelDownloadManager::finishExtraction(EmbeddingModel model, TaskHandle guard,
                                            std::optional<std::string> failure) {
  if (guard.isCancelled()) return;
  if (failure) {
    fail(model, *failure, "Intelligence.modelExtractionFailed", {{"error", *failure}});
    return;
  }
  end(model, DownloadState::downloaded());
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
  end(model, DownloadState::notDownloaded());
  TelemetryService::signal("Intelligence.modelDownloadCancelled", {{"model", modelName(model)}});
}

Status ModelDownloadManager::deleteModel(EmbeddingModel model) {
  if (downloadTasks_.count(model)) cancelDownload(model);
  std::error_code ec;
  fs::remove_all(packagePath(model), ec);
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
