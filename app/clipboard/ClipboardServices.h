// ClipboardServices: the composition of the clipboard history for one
// process: its own connection to "Pallix.sqlite", the store, the link
// preview store (in the data directory), the link-metadata runner, the
// capture runner (where copies are read, hashed and stored), the
// ClipboardService, the semantic index on its own runner (when a model
// factory is given) and the clipboard mode's search provider.
//
// The platform pieces (pasteboard, link-metadata provider) are passed in by
// the executable, which alone links the Linux platform layer.
//
// Threading: created, used and destroyed on `runner` (the main runner). The
// capture runner is stopped, after the capture it is running, before the
// store's connection closes, as is the semantic index's runner.
#pragma once

#include <functional>
#include <memory>

#include "app/clipboard/ClipboardModeSearchProvider.h"
#include "app/clipboard/ClipboardService.h"
#include "app/clipboard/ClipboardStore.h"
#include "app/platform/DataDirectories.h"
#include "app/platform/PersistentStore.h"
#include "core/RunLoop.h"

namespace pallix {

class ClipboardServices {
 public:
  struct Options {
    DataDirectories dirs;
    TaskRunnerPtr runner;
    std::shared_ptr<Pasteboard> pasteboard;
    std::shared_ptr<LinkMetadataProvider> linkMetadata;  // optional
    std::function<ClipboardSettings()> settings;
    // false: the service never watches the clipboard (one-shot commands
    // that list, delete or clear), whatever the preference says.
    bool monitor = true;
    // Search by meaning (ClipboardSettings::semanticSearchEnabled) embeds
    // with this model; null: none.
    std::shared_ptr<EmbeddingModelFactory> modelFactory;
    std::shared_ptr<EmbeddingCoordinator> coordinator;  // null: EmbeddingCoordinator::shared()
    NotificationCenter* notificationCenter = &NotificationCenter::defaultCenter();
  };

  // Opens the store; the error says what is wrong with it.
  static Result<std::unique_ptr<ClipboardServices>> open(Options options);
  // Only the store, for commands that read the history.
  static Result<std::unique_ptr<PersistentStore>> openStore(const DataDirectories& dirs);
  ~ClipboardServices();

  // Unguarded: for commands that do not monitor. While the service
  // monitors, its capture runner writes the store under the worker's lock.
  ClipboardStore& store() { return *store_; }
  ClipboardService& service() { return *service_; }
  const std::shared_ptr<ClipboardModeSearchProvider>& searchProvider() { return searchProvider_; }

 private:
  ClipboardServices() = default;

  std::unique_ptr<PersistentStore> persistentStore_;
  std::shared_ptr<ClipboardStore> store_;
  std::shared_ptr<SerialExecutor> metadataExecutor_;
  std::shared_ptr<SerialExecutor> captureExecutor_;
  std::shared_ptr<SerialExecutor> semanticExecutor_;
  std::unique_ptr<ClipboardService> service_;
  std::shared_ptr<ClipboardModeSearchProvider> searchProvider_;
};

}  // namespace pallix
