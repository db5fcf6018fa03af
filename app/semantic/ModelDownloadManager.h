// ModelDownloadManager: downloads, installs, tracks and deletes the optional
// large embedding model (bge-m3). The archive "bge_m3.mlpackage.zip" comes
// from the model download server (user-defaults key
// "ModelDownloadManager.baseURL", no default: without it a download fails
// saying what to set) at "/pallix/models/bge_m3.mlpackage.zip". It holds the
// model folder "bge_m3.mlpackage" (config.json, sentencepiece.bpe.model,
// model.safetensors). The archive must have the length the server announced,
// and the SHA-256 digest the server publishes beside it
// ("bge_m3.mlpackage.zip.sha256", where it has one). Every step is a
// telemetry signal ("Intelligence.model...").
//
// /usr/bin/unzip unpacks it into a hidden staging folder of the models
// directory; only a package that is complete there (verifyModelPackage) is
// renamed into place, so a failed or short extraction (a full disk) never
// looks downloaded and can be retried.
//
// Several processes share one models directory, so the states live on disk
// too: "<models>/.<package>.download.json" holds the state of a download in
// progress (with the downloading process id), and "<models>/.<package>.cancel"
// asks that process to cancel. A downloading manager looks for the request
// every 250 ms. A download holds an exclusive lock on
// "<models>/.<package>.download.lock" until it ends (the kernel drops it when
// the process dies), so a second download of the model, from this process or
// another, is refused rather than sharing the partial archive.
//
// Threading: main runner. The download runs on the HTTP client; unzip runs on
// `extractionRunner`; both hop back to the main runner. The observer is
// called on the main runner after every state change.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "SimilaritySearchKit/EmbeddingModel.h"
#include "app/platform/CommandRunner.h"
#include "app/platform/HttpClient.h"
#include "core/Logger.h"
#include "core/TaskRunner.h"

namespace pallix {

struct DownloadState {
  enum class Kind { notDownloaded, downloading, downloaded, failed };
  Kind kind = Kind::notDownloaded;
  double progress = 0;  // downloading: 0...1
  std::string message;  // failed: why

  static DownloadState notDownloaded() { return {}; }
  static DownloadState downloading(double progress) { return {Kind::downloading, progress, {}}; }
  static DownloadState downloaded() { return {Kind::downloaded, 0, {}}; }
  static DownloadState failed(std::string message) { return {Kind::failed, 0, std::move(message)}; }
  friend bool operator==(const DownloadState&, const DownloadState&) = default;
};

// The files a downloaded package must hold.
inline constexpr const char* kModelPackageFiles[] = {"config.json", "sentencepiece.bpe.model", "model.safetensors"};

// Checks that `packageDirectory` holds a complete model package: the files
// above, config.json a JSON object, and model.safetensors as long as its
// header says (only the header is read). The error names the file and what
// is wrong with it.
Status verifyModelPackage(const std::string& packageDirectory);
// "notDownloaded", "downloading", "downloaded", "failed".
const char* downloadStateName(DownloadState::Kind kind);

class ModelDownloadManager {
 public:
  static constexpr const char* kBaseURLKey = "ModelDownloadManager.baseURL";
  static constexpr const char* kDownloadPath = "/pallix/models/";
  static constexpr const char* kUnzipPath = "/usr/bin/unzip";
  static constexpr Duration kCancelPollInterval = std::chrono::milliseconds(250);
  static constexpr Duration kExtractionTimeout = std::chrono::minutes(20);

  struct Dependencies {
    std::string modelsDirectory;
    std::optional<std::string> baseURL;
    std::shared_ptr<HttpClient> http;
    std::shared_ptr<CommandRunner> commandRunner;
    TaskRunnerPtr mainRunner;
    TaskRunnerPtr extractionRunner;
    int processId = 0;  // written with a download in progress; 0: this process's
  };
  using Observer = std::function<void(EmbeddingModel, const DownloadState&)>;

  explicit ModelDownloadManager(Dependencies dependencies);
  ~ModelDownloadManager();
  ModelDownloadManager(const ModelDownloadManager&) = delete;
  ModelDownloadManager& operator=(const ModelDownloadManager&) = delete;

  // "bge_small_en.mlpackage" or "bge_m3.mlpackage" exists in the models
  // directory (the small model also counts when installed by folder name);
  // the large model's package must also pass verifyModelPackage.
  bool isModelDownloaded(EmbeddingModel model) const;
  // The package folder, complete or not (what deleteModel removes).
  std::string packagePath(EmbeddingModel model) const;
  // Starts a download; progress and outcome arrive through the states. Fails
  // without touching the states when another download of the model holds
  // its lock. Already downloading here: ok, nothing new starts.
  [[nodiscard]] Status downloadModel(EmbeddingModel model);
  // Cancels this process's download, or asks the process downloading it to.
  void cancelDownload(EmbeddingModel model);
  Status deleteModel(EmbeddingModel model);

  const std::map<EmbeddingModel, DownloadState>& downloadStates() const { return downloadStates_; }
  DownloadState state(EmbeddingModel model) const;
  // Reads the state again from the models directory (another process's download).
  void refreshStates();
  bool isDownloadingHere(EmbeddingModel model) const { return downloadTasks_.count(model) != 0; }
  void setObserver(Observer observer) { observer_ = std::move(observer); }

  static std::string archiveName(EmbeddingModel model);  // "bge_m3.mlpackage.zip"
  // The archive's address; an error naming the key to set when there is no base.
  Result<std::string> downloadURL(EmbeddingModel model) const;
  const std::string& modelsDirectory() const { return deps_.modelsDirectory; }

 private:
  struct Task {
    TaskHandle transfer;
    TaskHandle cancelPoll;
    TaskHandle guard;  // cancelled with the download; drops late answers
    std::string temporaryPath;
    int64_t expectedBytes = -1;  // the server's announced length; -1: none
    TaskHandle checksumRequest;
    int lockDescriptor = -1;  // holds the download lock; closed by forget()
  };

  void setState(EmbeddingModel model, DownloadState state);
  void fail(EmbeddingModel model, const std::string& message, const char* signal,
            std::map<std::string, std::string> parameters);
  void handleDownloadCompletion(EmbeddingModel model, TaskHandle guard, Result<HttpResponse> response);
  // Asks for the archive's published digest ("<archive>.sha256"); a server
  // without one answers 404 and only the size is checked.
  void fetchPublishedDigest(EmbeddingModel model, TaskHandle guard);
  void extractModel(EmbeddingModel model, TaskHandle guard, std::optional<std::string> publishedDigest);
  void finishExtraction(EmbeddingModel model, TaskHandle guard, std::optional<std::string> failure);
  void pollCancelRequest(EmbeddingModel model, TaskHandle guard);
  // Drops the task; returns its lock descriptor for end() to close.
  int forget(EmbeddingModel model);
  // Forgets the task and publishes its final state, then releases the lock.
  void end(EmbeddingModel model, DownloadState state);
  std::string stagingPath(EmbeddingModel model) const;
  // Extraction runner: unpacks into `staging`, verifies, renames into
  // `destination`. The failure message, or none.
  static std::optional<std::string> installArchive(CommandRunner& runner, const std::string& archive,
                                                   const std::string& staging, const std::string& destination,
                                                   const std::string& package);
  std::string stateFilePath(EmbeddingModel model) const;
  std::string cancelFilePath(EmbeddingModel model) const;
  std::string lockFilePath(EmbeddingModel model) const;
  // The lock's descriptor, or the refusal naming the process that holds it.
  Result<int> acquireDownloadLock(EmbeddingModel model) const;
  void writeStateFile(EmbeddingModel model, const DownloadState& state) const;
  std::optional<DownloadState> readStateFile(EmbeddingModel model) const;

  Dependencies deps_;
  std::map<EmbeddingModel, DownloadState> downloadStates_;
  std::map<EmbeddingModel, Task> downloadTasks_;
  std::map<EmbeddingModel, int> lastWrittenPercent_;
  Observer observer_;
  Logger logger_{"ModelDownloadManager"};
  WeakGuard weak_;
};

}  // namespace pallix
