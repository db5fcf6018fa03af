// AppRuntime: the application's composition root for a search session, shared
// by the commands that search (search, files, open, panel) and the resident
// agents: the data directories, two connections to the catalog store (one for
// the main thread, one for the search executor), the main RunLoop, the search
// executor, the desktop workspace, the intelligence stack and the session.
// Built and destroyed on the main thread; it owns everything it creates.
#pragma once

#include <memory>
#include <string>

#include "app/clipboard/ClipboardServices.h"
#include "app/emoji/EmojiPicker.h"
#include "app/intelligence/CalculatorSourceAdapter.h"
#include "app/intelligence/LazyIntelligenceClient.h"
#include "app/intelligence/PanelIntelligenceStore.h"
#include "app/messages/MessagesComponents.h"
#include "app/platform/DataDirectories.h"
#include "app/platform/Pasteboard.h"
#include "app/platform/PersistentStore.h"
#include "app/platform/Workspace.h"
#include "app/platform/linux/ProcessCommandRunner.h"
#include "app/preferences/DataSourcePreferences.h"
#include "app/search/CatalogReader.h"
#include "app/search/ContentViewModel.h"
#include "app/search/SearchProviders.h"
#include "app/semantic/SemanticServices.h"
#include "app/sources/IntelligenceSourceSet.h"
#include "core/RunLoop.h"
#include "core/UserDefaults.h"

namespace pallix {

// The intelligence sources over the Linux services, with the endpoints of `defaults`.
std::unique_ptr<IntelligenceSourceSet> makeIntelligenceSourceSet(const DataDirectories& dirs,
                                                                 const UserDefaults& defaults,
                                                                 TaskRunnerPtr mainRunner);

// The data-source switches over `prefs`, read on every call; `prefs` must
// outlive the switches.
std::shared_ptr<DataSourceSwitches> makeDataSourceSwitches(const DataSourcePreferences& prefs);

struct AppRuntime {
  DataDirectories dirs;
  std::unique_ptr<PersistentStore> store;
  std::unique_ptr<PersistentStore> searchStore;
  std::shared_ptr<RunLoop> mainLoop;
  std::shared_ptr<SerialExecutor> searchExecutor;
  std::unique_ptr<ProcessCommandRunner> commandRunner;
  std::shared_ptr<Workspace> workspace;
  std::shared_ptr<Pasteboard> pasteboard;
  std::unique_ptr<UserDefaults> defaults;
  std::unique_ptr<DataSourcePreferences> dataSources;
  std::shared_ptr<SerialExecutor> routerExecutor;
  std::shared_ptr<SerialExecutor> sourceExecutor;
  std::shared_ptr<CalculatorSourceAdapter> calculator;
  std::unique_ptr<IntelligenceSourceSet> sources;
  std::shared_ptr<LazyIntelligenceClient> intelligenceClient;
  std::shared_ptr<PanelIntelligenceStore> intelligence;
  std::unique_ptr<ContentViewModel> model;
  // Messages mode and the standard-mode messages preview.
  std::shared_ptr<SerialExecutor> messagesExecutor;
  std::optional<MessagesComponents> messages;
  // Clipboard and emoji modes (attachModeProviders).
  std::unique_ptr<ClipboardServices> ownClipboard;
  std::shared_ptr<EmojiPicker> emoji;
  std::unique_ptr<SemanticServices> ownSemantic;
  ScopedObservation clipboardPreferencesObservation;

  // How the command uses the catalog: searching only reads it; recording a
  // launch (lastUsed) writes single rows, which SQLite's own locking keeps
  // safe beside the catalog's writer. Neither creates, migrates or deletes it.
  // `readOrEmpty` searches an empty catalog when there is no usable one
  // (the answers and other sources still work); `catalogFailure` says why.
  enum class Access { read, recordUse, readOrEmpty };
  // Whether the session keeps ambient highlights (the local forecast, the
  // next event): a panel does; a one-shot command asks only what its query
  // needs and sends nothing else.
  enum class Highlights { ambient, none };
  // Opens the catalog and builds the session; fails when there is no usable
  // catalog (see describeCatalogOpenFailure). A resident agent passes the
  // main loop its other services already run on; otherwise one is made.
  static Result<std::unique_ptr<AppRuntime>> open(Access access = Access::read,
                                                  std::shared_ptr<RunLoop> mainLoop = nullptr,
                                                  Highlights highlights = Highlights::ambient);
  ~AppRuntime();

  // Attaches the clipboard and emoji modes. `clipboard` is the process's
  // recording history when it has one (the agent's); without it the history
  // is opened here, read-only for the clipboard (nothing is recorded). The
  // error says why the clipboard mode stays empty; emoji always attach.
  Status attachModeProviders(ClipboardServices* clipboard = nullptr);
  // Loads the emoji catalog on the search runner now rather than at the first
  // opening of emoji mode, and records what it holds for `pallix status`.
  void preloadEmoji();
  // Adds the semantic stage to files searches over the bridge of whatever
  // `semantic` returns at the time (null: none now); it is asked on the
  // main thread.
  void attachSemanticSearch(std::function<SemanticServices*()> semantic);
  // Adds conversations found by meaning to the messages mode (null: none).
  void attachMessageStore(std::shared_ptr<MessageEmbeddingStore> store);
  // For a process without an agent (the terminal panel): opens the semantic
  // indexes for searching (no indexing) when semantic file or message search
  // is on and a model is installed, and attaches them. Returns whether it did.
  bool openSemanticSearch();

  // Runs the main loop until the session and the intelligence store have no
  // work in flight, or `limit` has passed.
  void settle(Duration limit = seconds(5));
  // Number of catalog records (0 when the catalog was never built).
  int64_t catalogSize();
  // Whether a full scan ever finished writing this catalog: a first index
  // that was killed leaves it partial.
  bool catalogComplete();

  // Why the catalog could not be opened (Access::readOrEmpty only).
  std::optional<Error> catalogFailure;
};

}  // namespace pallix
