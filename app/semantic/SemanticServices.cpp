#include "app/semantic/SemanticServices.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/preferences/FilesPreferences.h"
#include "app/preferences/IntelligencePreferences.h"
#include "app/preferences/MessagesPreferences.h"
#include "app/search/IndexingService.h"
#include "core/FileUtil.h"
#include "core/RunLoop.h"

namespace pallix {
namespace {

template <typename E, typename Parse>
E settingOr(const UserDefaults* defaults, const char* key, Parse parse, E fallback) {
  if (!defaults) return fallback;
  auto raw = defaults->stringValue(key);
  if (!raw) return fallback;
  return parse(*raw).value_or(fallback);
}

}  // namespace

Result<std::unique_ptr<SemanticWriterLock>> SemanticWriterLock::acquire(const std::string& storeDirectory) {
  PALLIX_RETURN_IF_ERROR(createDirectories(storeDirectory));
  const std::string path = storeDirectory + "/SemanticIndex.lock";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  if (fd >= 0) ::fchmod(fd, kPrivateFileMode);
  if (fd < 0) return Error::fromErrno("Cannot open " + path, errno);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) {
      return Error("SemanticWriterLock", 1,
                   "another Pallix process is writing the semantic index (" + path +
                       " is locked); stop it or wait for it to finish");
    }
    return Error::fromErrno("Cannot lock " + path, err);
  }
  return std::unique_ptr<SemanticWriterLock>(new SemanticWriterLock(fd));
}

SemanticWriterLock::~SemanticWriterLock() {
  if (fd_ >= 0) ::close(fd_);
}

std::vector<std::string> SemanticServices::semanticFolders(const UserDefaults& defaults, const DataDirectories& dirs) {
  if (auto folders = defaults.stringArrayValue(FilesPreferences::kIndexedFoldersKey); folders && !folders->empty()) {
    return *folders;
  }
  return IndexingService::persistedFileDirectories(defaults, dirs);
}

std::unique_ptr<SemanticServices> SemanticServices::create(SemanticServicesOptions options) {
  return std::unique_ptr<SemanticServices>(new SemanticServices(std::move(options)));
}

SemanticServices::SemanticServices(SemanticServicesOptions options) : options_(std::move(options)) {
  auto runnerOr = [this](TaskRunnerPtr& runner, const char* name) {
    if (runner) return;
    auto executor = SerialExecutor::create(name);
    ownedExecutors_.push_back(executor);
    runner = executor;
  };
  runnerOr(options_.fileStoreRunner, "pallix-filestore");
  runnerOr(options_.messageStoreRunner, "pallix-msgstore");
  runnerOr(options_.backgroundRunner, "pallix-graphs");
  runnerOr(options_.indexerRunner, "pallix-fileindex");
  if (options_.storeDirectory.empty()) options_.storeDirectory = options_.dirs.data;
  if (!options_.modelFactory) {
    options_.modelFactory = installedEmbeddingModelFactory(
        options_.dirs, settingOr(options_.defaults, IntelligencePreferences::kSelectedModelKey,
                                 embeddingModelFromRawValue, IntelligencePreferences::kDefaultSelectedModel));
  }
  if (!options_.notifications) options_.notifications = &NotificationCenter::defaultCenter();
  if (!options_.conditions) {
    defaultConditions_ = std::make_unique<SystemIndexingConditions>();
    options_.conditions = defaultConditions_.get();
  }

  auto storeDeps = [&](const TaskRunnerPtr& runner, EmbeddingComputeUnits units) {
    EmbeddingStore::Dependencies deps;
    deps.runner = runner;
    deps.backgroundRunner = options_.backgroundRunner;
    deps.storeDirectory = options_.storeDirectory;
    deps.temporaryDirectory = options_.temporaryDirectory;
    deps.defaults = options_.defaults;
    deps.notifications = options_.notifications;
    deps.modelFactory = options_.modelFactory;
    deps.computeUnits = units;
    deps.repairsFiles = !options_.readOnly;
    return deps;
  };
  fileStore_ = FileEmbeddingStore::create(
      storeDeps(options_.fileStoreRunner, settingOr(options_.defaults, FilesPreferences::kComputeUnitsKey,
                                                    computeUnitsFromRawValue, FilesPreferences::kDefaultComputeUnits)));
  messageStore_ = MessageEmbeddingStore::create(
      storeDeps(options_.messageStoreRunner, settingOr(options_.defaults, MessagesPreferences::kComputeUnitsKey,
                                                       computeUnitsFromRawValue, EmbeddingComputeUnits::cpuNe)));

  fileTracker_ = std::make_unique<IndexingCompletionTracker>(*options_.defaults, "files");
  FileChunkIndexer::Dependencies indexerDeps;
  indexerDeps.runner = options_.indexerRunner;
  indexerDeps.store = fileStore_;
  indexerDeps.coordinator = options_.coordinator;
  indexerDeps.conditions = options_.conditions;
  indexerDeps.filter = &filter_;
  indexerDeps.tracker = fileTracker_.get();
  indexerDeps.notifications = options_.notifications;
  indexerDeps.tuning = options_.tuning;
  fileIndexer_ = FileChunkIndexer::create(std::move(indexerDeps));
  fileIndexer_->setIndexingIntensity(settingOr(options_.defaults, FilesPreferences::kIndexingIntensityKey,
                                               indexingIntensityFromRaw, FilesPreferences::kDefaultIndexingIntensity));
  bridge_ = std::make_unique<SemanticBridge>(fileStore_, fileIndexer_);
}

SemanticServices::~SemanticServices() {
  shutdown();
}

void SemanticServices::initialize(Completion<Status> done) {
  messageStore_->initialize();
  fileStore_->initialize(std::move(done));
}

void SemanticServices::shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  fileIndexer_->stop();
  for (auto& executor : ownedExecutors_) executor->shutdown();
}

}  // namespace pallix
