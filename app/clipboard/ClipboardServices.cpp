#include "app/clipboard/ClipboardServices.h"

#include <future>

#include "app/search/CatalogSchema.h"

namespace pallix {

Result<std::unique_ptr<PersistentStore>> ClipboardServices::openStore(const DataDirectories& dirs) {
  return openPersistentStoreWithRecovery(dirs, catalogMigrationSteps(), /*verifyIntegrity=*/false);
}

Result<std::unique_ptr<ClipboardServices>> ClipboardServices::open(Options options) {
  std::unique_ptr<ClipboardServices> services(new ClipboardServices());
  PALLIX_ASSIGN_OR_RETURN(services->persistentStore_, openStore(options.dirs));
  services->store_ = std::make_shared<ClipboardStore>(*services->persistentStore_);
  services->metadataExecutor_ = SerialExecutor::create("pallix-linkmeta");
  services->captureExecutor_ = SerialExecutor::create("pallix-clipcap");

  ClipboardService::Dependencies deps;
  deps.runner = options.runner;
  deps.metadataRunner = services->metadataExecutor_;
  deps.captureRunner = services->captureExecutor_;
  deps.pasteboard = options.pasteboard;
  deps.store = services->store_;
  deps.linkMetadata = options.linkMetadata;
  deps.previewStore = std::make_shared<ClipboardLinkPreviewStore>(
      options.dirs.data, ClipboardLinkPreviewStore::kServiceMaxEntries, SystemClock::instance());
  auto settings = options.settings;
  if (!options.monitor) {
    deps.settings = [settings] {
      ClipboardSettings s = settings ? settings() : ClipboardSettings{};
      s.historyEnabled = false;
      return s;
    };
  } else {
    deps.settings = settings;
  }
  deps.notificationCenter = options.notificationCenter;
  // On a connection of its own, so that the service's stays free meanwhile;
  // the log is cut back to its limit once the copy is checkpointed.
  deps.reclaimSpace = [path = options.dirs.storePath()]() -> Status {
    PersistentStore::OpenOptions open;
    open.verifyIntegrity = false;
    PALLIX_ASSIGN_OR_RETURN(std::unique_ptr<PersistentStore> store,
                            PersistentStore::open(path, catalogMigrationSteps(), open));
    PALLIX_RETURN_IF_ERROR(store->execute("VACUUM"));
    return store->execute("PRAGMA wal_checkpoint(TRUNCATE)");
  };
  services->service_ = std::make_unique<ClipboardService>(std::move(deps));
  if (options.modelFactory && options.monitor) {
    services->semanticExecutor_ = SerialExecutor::create("pallix-clipembed");
    ClipboardSemanticIndex::Dependencies semantic;
    semantic.runner = services->semanticExecutor_;
    semantic.store = services->store_;
    semantic.worker = services->service_->captureWorker();
    semantic.modelFactory = options.modelFactory;
    semantic.coordinator = options.coordinator;
    services->service_->setSemanticIndex(ClipboardSemanticIndex::create(std::move(semantic)));
  }
  services->searchProvider_ =
      std::make_shared<ClipboardModeSearchProvider>(*services->service_, options.runner, options.runner);
  return services;
}

ClipboardServices::~ClipboardServices() {
  searchProvider_.reset();
  service_.reset();
  // The service's captures still queued do nothing; the running one ends first.
  if (captureExecutor_) captureExecutor_->shutdown();
  // The embedding under way ends first; what is queued is dropped.
  if (semanticExecutor_) semanticExecutor_->shutdown();
  if (!metadataExecutor_) return;
  // Link-preview work already queued (a clear, a save) finishes first.
  auto drained = std::make_shared<std::promise<void>>();
  std::future<void> done = drained->get_future();
  metadataExecutor_->post([drained] { drained->set_value(); });
  done.wait_for(std::chrono::seconds(10));
  metadataExecutor_->shutdown();
}

}  // namespace pallix
