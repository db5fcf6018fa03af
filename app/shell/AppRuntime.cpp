#include "app/shell/AppRuntime.h"

#include <any>
#include <chrono>
#include <nlohmann/json.hpp>

#include "PallixRouter/PallixRouter.h"
#include "app/platform/linux/CommandPasteboard.h"
#include "app/platform/linux/LinuxDesktop.h"
#include "app/platform/linux/LinuxSourceServices.h"
#include "app/platform/linux/LinuxWorkspace.h"
#include "app/preferences/ClipboardPreferences.h"
#include "app/preferences/FilesPreferences.h"
#include "app/preferences/MessagesPreferences.h"
#include "app/search/CatalogSchema.h"
#include "app/search/CatalogStore.h"
#include "app/semantic/SemanticFileSearch.h"
#include "app/shell/PanelLifecycleCoordinator.h"
#include "app/shell/RecordedSearchProviders.h"
#include "app/shell/StatusReport.h"
#include "core/FileUtil.h"

namespace pallix {

std::unique_ptr<IntelligenceSourceSet> makeIntelligenceSourceSet(const DataDirectories& dirs,
                                                                 const UserDefaults& defaults,
                                                                 TaskRunnerPtr mainRunner) {
  IntelligenceSourceSet::Options options;
  options.mainRunner = std::move(mainRunner);
  options.userAgent = std::string("Pallix/") + PALLIX_VERSION + " (Linux desktop search and launch utility)";
  // Every Pallix process of this user shares the public place search's one request a second.
  options.placeSearchSpacingPath = dirs.runtime + "/pallix-place-search.spacing";
  return std::make_unique<IntelligenceSourceSet>(makeLinuxSourceServices(dirs, options.userAgent), defaults, options);
}

std::shared_ptr<DataSourceSwitches> makeDataSourceSwitches(const DataSourcePreferences& prefs) {
  const DataSourcePreferences* source = &prefs;
  return std::make_shared<FunctionDataSourceSwitches>([source](VCRDataSourceIdentifier id) {
    switch (id) {
      case VCRDataSourceIdentifier::calculator:
        return source->calculatorEnabled();
      case VCRDataSourceIdentifier::contacts:
        return source->contactsEnabled();
      case VCRDataSourceIdentifier::calendar:
        return source->calendarEnabled();
      case VCRDataSourceIdentifier::maps:
        return source->mapsEnabled();
      case VCRDataSourceIdentifier::weather:
        return source->weatherEnabled();
      case VCRDataSourceIdentifier::dictionary:
        return source->dictionaryEnabled();
      case VCRDataSourceIdentifier::wikipedia:
        return source->wikipediaEnabled();
      default:
        return true;
    }
  });
}

Result<std::unique_ptr<AppRuntime>> AppRuntime::open(Access access, std::shared_ptr<RunLoop> mainLoop,
                                                     Highlights highlights) {
  auto runtime = std::make_unique<AppRuntime>();
  runtime->dirs = DataDirectories::fromEnvironment();
  // Searching only reads: the catalog is never created, migrated or deleted
  // here. Damage shows as an error (or a query error later); `pallix index`
  // and the daemon verify the catalog and rebuild it.
  PersistentStore::OpenOptions options;
  options.verifyIntegrity = false;
  for (auto* slot : {&runtime->store, &runtime->searchStore}) {
    auto store = PersistentStore::openForReading(runtime->dirs.storePath(), catalogMigrationSteps(), options);
    if (!store.ok() && access == Access::readOrEmpty) {
      runtime->catalogFailure = store.error();
      store = PersistentStore::open(":memory:", catalogMigrationSteps(), options);
    }
    if (!store.ok()) return store.error();
    *slot = std::move(store).value();
  }
  if (access == Access::recordUse) {
    // The store exists with the current schema (just checked), so opening it
    // for writing creates and migrates nothing.
    auto store = PersistentStore::open(runtime->dirs.storePath(), catalogMigrationSteps(), options);
    if (!store.ok()) return store.error();
    runtime->store = std::move(store).value();
  }

  runtime->mainLoop = mainLoop ? std::move(mainLoop) : RunLoop::create();
  runtime->searchExecutor = SerialExecutor::create("pallix-search");
  runtime->commandRunner = std::make_unique<ProcessCommandRunner>();
  runtime->workspace = std::make_shared<LinuxWorkspace>(*runtime->commandRunner, runtime->dirs);
  runtime->pasteboard = std::make_shared<CommandPasteboard>();
  runtime->defaults = std::make_unique<UserDefaults>(runtime->dirs.defaultsPath());
  runtime->dataSources = std::make_unique<DataSourcePreferences>(*runtime->defaults);
  runtime->routerExecutor = SerialExecutor::create("PallixRouter");
  runtime->sourceExecutor = SerialExecutor::create("IntelSources");
  runtime->calculator =
      std::make_shared<CalculatorSourceAdapter>(std::make_shared<CalculatorDataSource>(), runtime->sourceExecutor);
  auto switches = makeDataSourceSwitches(*runtime->dataSources);
  IntelligenceCoordinator::Dependencies deps;
  deps.mainRunner = runtime->mainLoop;
  deps.routerRunner = runtime->routerExecutor;
  deps.switches = switches;
  runtime->sources = makeIntelligenceSourceSet(runtime->dirs, *runtime->defaults, runtime->mainLoop);
  deps.sources = runtime->sources->sources();
  deps.sources.calculator = runtime->calculator;
  deps.locationProvider = runtime->sources->locationProvider();
  deps.routerFactory = router::makeBundledQueryRouterFactory();
  deps.ambientHighlights = highlights == Highlights::ambient;
  deps.statistics = &SourceStatistics::process();
  // In a process with a panel lifecycle the coordinator follows its work modes (deep idle unloads the router).
  if (PanelLifecycleCoordinator::isSharedConfigured()) deps.workModes = &PanelLifecycleCoordinator::shared();
  runtime->intelligenceClient = std::make_shared<LazyIntelligenceClient>(deps);
  runtime->intelligence = std::make_shared<PanelIntelligenceStore>(runtime->mainLoop, runtime->calculator);
  runtime->intelligence->configure(runtime->intelligenceClient, switches);

  runtime->model = std::make_unique<ContentViewModel>(runtime->mainLoop, runtime->searchExecutor);
  runtime->model->setIntelligence(runtime->intelligence);
  // Each source's query times go to the process's statistics (`pallix status`).
  SourceStatistics& statistics = SourceStatistics::process();
  runtime->model->setAppSearch(
      std::make_shared<RecordedAppSearch>(std::make_shared<CatalogAppSearchProvider>(*runtime->store), statistics));
  runtime->model->setFileSearch(std::make_shared<RecordedFileSearch>(
      std::make_shared<CatalogFileSearchProvider>(*runtime->searchStore, SystemClock::instance()), statistics));
  runtime->model->setWorkspace(runtime->workspace);
  runtime->model->setPasteboard(runtime->pasteboard);

  runtime->messagesExecutor = SerialExecutor::create("pallix-messages");
  runtime->messages = MessagesComponents::create(runtime->dirs, runtime->defaults.get());
  runtime->model->setModeSearch(SearchMode::messages,
                                std::make_shared<RecordedModeSearch>(runtime->messages->makeModeSearchProvider(
                                                                         runtime->messagesExecutor, runtime->workspace),
                                                                     kMessagesSource, statistics));
  return runtime;
}

void AppRuntime::preloadEmoji() {
  if (!emoji) return;
  emoji->preload([](size_t entries, int64_t bytes) {
    SourceStatistics::process().recordFootprint(
        kEmojiSource, {static_cast<int64_t>(entries), bytes, "emoji catalog and its word lists"});
  });
}

Status AppRuntime::attachModeProviders(ClipboardServices* clipboard) {
  emoji = std::make_shared<EmojiPicker>(
      std::make_shared<EmojiSearchService>(), std::make_shared<EmojiUsageStore>(*defaults),
      std::make_shared<EmojiInsertionController>(makeDesktopTextInput(), pasteboard), mainLoop, searchExecutor);
  model->setModeSearch(SearchMode::emoji,
                       std::make_shared<RecordedModeSearch>(emoji, kEmojiSource, SourceStatistics::process()));
  if (!clipboard) {
    ClipboardServices::Options options;
    options.dirs = dirs;
    options.runner = mainLoop;
    options.pasteboard = pasteboard;
    options.monitor = false;
    auto opened = ClipboardServices::open(std::move(options));
    if (!opened.ok()) return opened.error();
    ownClipboard = std::move(opened).value();
    clipboard = ownClipboard.get();
  }
  model->setModeSearch(
      SearchMode::clipboard,
      std::make_shared<RecordedModeSearch>(clipboard->searchProvider(), kClipboardSource, SourceStatistics::process()));
  clipboardPreferencesObservation = ScopedObservation(
      NotificationCenter::defaultCenter(), ClipboardPreferences::kDidChangeNotification, [this](const Notification& n) {
        // The poster's own value: re-reading this process's defaults here
        // would take the change away from the session's defaults watcher.
        bool enabled = false;
        if (auto* const* prefs = std::any_cast<ClipboardPreferences*>(&n.object)) {
          enabled = (*prefs)->historyEnabled();
        } else {
          (void)defaults->reload();
          enabled = defaults->boolValue(ClipboardPreferences::kHistoryEnabledKey)
                        .value_or(ClipboardPreferences::kDefaultHistoryEnabled);
        }
        if (!enabled) model->handleClipboardHistoryDisabled();
      });
  return okStatus();
}

void AppRuntime::attachSemanticSearch(std::function<SemanticServices*()> semantic) {
  const UserDefaults* prefs = defaults.get();
  auto bridge = [semantic = std::move(semantic)]() -> SemanticBridge* {
    SemanticServices* services = semantic ? semantic() : nullptr;
    return services ? &services->bridge() : nullptr;
  };
  auto enabled = [prefs] {
    return prefs->boolValue(FilesPreferences::kSemanticSearchEnabledKey)
        .value_or(FilesPreferences::kDefaultSemanticSearchEnabled);
  };
  model->setFileSemanticSearch(std::make_shared<RecordedSemanticSearch>(
      std::make_shared<SemanticFileSearch>(bridge, *store, mainLoop, enabled), SourceStatistics::process()));
}

void AppRuntime::attachMessageStore(std::shared_ptr<MessageEmbeddingStore> store) {
  if (messages) messages->attachEmbeddingStore(std::move(store));
}

bool AppRuntime::openSemanticSearch() {
  const bool files = defaults->boolValue(FilesPreferences::kSemanticSearchEnabledKey)
                         .value_or(FilesPreferences::kDefaultSemanticSearchEnabled);
  const bool conversations = defaults->boolValue(MessagesPreferences::kSemanticSearchEnabledKey)
                                 .value_or(MessagesPreferences::kDefaultSemanticSearchEnabled);
  if (!files && !conversations) return false;
  SemanticServicesOptions options;
  options.dirs = dirs;
  options.defaults = defaults.get();
  std::unique_ptr<SemanticServices> services = SemanticServices::create(std::move(options));
  if (!services->modelFactory().isInstalled()) return false;
  services->initialize({});
  ownSemantic = std::move(services);
  if (files) attachSemanticSearch([semantic = ownSemantic.get()] { return semantic; });
  if (conversations) attachMessageStore(ownSemantic->messageStore());
  return true;
}

AppRuntime::~AppRuntime() {
  // Tasks on the executors hold the search connection and the sources: stop
  // the executors first, then drop the session before what it points to.
  for (auto* executor : {searchExecutor.get(), routerExecutor.get(), sourceExecutor.get(), messagesExecutor.get()}) {
    if (executor) executor->shutdown();
  }
  if (sources) sources->shutdown();
  clipboardPreferencesObservation = ScopedObservation();
  model.reset();
  attachMessageStore(nullptr);
  if (ownSemantic) ownSemantic->shutdown();
  ownSemantic.reset();
  emoji.reset();
  ownClipboard.reset();
  intelligence.reset();
  intelligenceClient.reset();
}

void AppRuntime::settle(Duration limit) {
  // Answers arrive as tasks posted to the main loop, which wakes it.
  mainLoop->runUntil(
      [&] {
        return !model->hasPendingWork() &&
               !(intelligence && intelligence->isQueryRunning(PanelIntelligenceStore::QueryKind::full));
      },
      limit);
}

int64_t AppRuntime::catalogSize() {
  CatalogStore catalog(*store);
  return catalog.count().valueOr(0);
}

bool AppRuntime::catalogComplete() {
  return !catalogFailure && catalogFinishedAFullScan(*store);
}

}  // namespace pallix
