// The seven preference objects: defaults and fallbacks, setters, folders,
// migration and persistence.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/shell/AppDisplayPreferences.h"
#include "app/shell/ClipboardPreferences.h"
#include "app/shell/DataSourcePreferences.h"
#include "app/shell/FilesPreferences.h"
#include "app/shell/IntelligencePreferences.h"
#include "app/shell/MessagesPreferences.h"
#include "app/shell/TelemetryPreferences.h"
#include "core/FileUtil.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;

// Counts posts per notification name on a private center.
class NotificationLog {
 public:
  explicit NotificationLog(NotificationCenter& center) : center_(center) {}
  void watch(const std::string& name) {
    observations_.emplace_back(center_, name, [this](const Notification& n) { posts_.push_back(n); });
  }
  size_t count(const std::string& name) const {
    return std::count_if(posts_.begin(), posts_.end(), [&](const Notification& n) { return n.name == name; });
  }
  const std::vector<Notification>& posts() const { return posts_; }

 private:
  NotificationCenter& center_;
  std::vector<ScopedObservation> observations_;
  std::vector<Notification> posts_;
};

class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() / ("pallix-shell-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// --- Defaults --------------------------------------------------------------

TEST(PreferenceDefaultsTest, EveryKeyOfAnEmptyStoreGivesItsDefault) {
  UserDefaults d;
  NotificationCenter center;
  FilesPreferences files(d, center);
  EXPECT_TRUE(files.searchEnabled());
  EXPECT_FALSE(files.semanticSearchEnabled());
  EXPECT_EQ(files.searchScope(), FilesPreferences::SearchScope::user);
  EXPECT_TRUE(files.indexedFolders().empty());
  EXPECT_EQ(files.computeUnits(), EmbeddingComputeUnits::cpuNe);
  EXPECT_EQ(files.indexingIntensity(), IndexingIntensity::low);

  MessagesPreferences messages(d, center);
  EXPECT_TRUE(messages.searchEnabled());
  EXPECT_FALSE(messages.semanticSearchEnabled());
  EXPECT_EQ(messages.computeUnits(), EmbeddingComputeUnits::cpuNe);
  EXPECT_EQ(messages.indexingIntensity(), IndexingIntensity::low);

  IntelligencePreferences intelligence(d, center);
  EXPECT_EQ(intelligence.selectedModel(), EmbeddingModel::bgeSmall);
  EXPECT_EQ(intelligence.computeUnits(), EmbeddingComputeUnits::cpuNe);
  EXPECT_EQ(intelligence.indexingIntensity(), IndexingIntensity::balanced);

  ClipboardPreferences clipboard(d, center);
  EXPECT_FALSE(clipboard.historyEnabled());
  EXPECT_EQ(clipboard.retentionDays(), 7);

  DataSourcePreferences sources(d, center);
  EXPECT_TRUE(sources.calculatorEnabled());
  EXPECT_TRUE(sources.contactsEnabled());
  EXPECT_TRUE(sources.calendarEnabled());
  EXPECT_TRUE(sources.mapsEnabled());
  EXPECT_TRUE(sources.weatherEnabled());
  EXPECT_TRUE(sources.dictionaryEnabled());
  EXPECT_TRUE(sources.wikipediaEnabled());

  AppDisplayPreferences display(d, center);
  EXPECT_EQ(display.appNameDisplayMode(), AppDisplayPreferences::AppNameDisplayMode::onShortcutPress);
  EXPECT_EQ(display.panelPosition(), PanelPosition::bottomTrailing);

  TelemetryPreferences telemetry(d, center);
  EXPECT_TRUE(telemetry.telemetryEnabled());

  EXPECT_TRUE(d.keys().empty()) << "loading writes nothing";
}

TEST(PreferenceDefaultsTest, WrongTypesFallBackToDefaults) {
  UserDefaults d;
  NotificationCenter center;
  // Booleans stored as strings and integers, strings as numbers, arrays of mixed types.
  ASSERT_TRUE(d.set(FilesPreferences::kSearchEnabledKey, "false").ok());
  ASSERT_TRUE(d.set(FilesPreferences::kSemanticSearchEnabledKey, 1).ok());
  ASSERT_TRUE(d.set(FilesPreferences::kSearchScopeKey, 1).ok());
  ASSERT_TRUE(d.setRaw(FilesPreferences::kIndexedFoldersKey, nlohmann::json::array({"/a", 2})).ok());
  ASSERT_TRUE(d.set(FilesPreferences::kComputeUnitsKey, true).ok());
  ASSERT_TRUE(d.setRaw(FilesPreferences::kIndexingIntensityKey, nlohmann::json::array({"maximum"})).ok());
  ASSERT_TRUE(d.set(MessagesPreferences::kSearchEnabledKey, 0).ok());
  ASSERT_TRUE(d.set(IntelligencePreferences::kSelectedModelKey, 2.5).ok());
  ASSERT_TRUE(d.set(ClipboardPreferences::kHistoryEnabledKey, "true").ok());
  ASSERT_TRUE(d.set(ClipboardPreferences::kRetentionDaysKey, "30").ok());
  ASSERT_TRUE(d.set(DataSourcePreferences::kWeatherEnabledKey, "no").ok());
  ASSERT_TRUE(d.set(AppDisplayPreferences::kPanelPositionKey, 3).ok());
  ASSERT_TRUE(d.set(TelemetryPreferences::kTelemetryEnabledKey, 0.0).ok());

  FilesPreferences files(d, center);
  EXPECT_TRUE(files.searchEnabled());
  EXPECT_FALSE(files.semanticSearchEnabled());
  EXPECT_EQ(files.searchScope(), FilesPreferences::SearchScope::user);
  EXPECT_TRUE(files.indexedFolders().empty());
  EXPECT_EQ(files.computeUnits(), EmbeddingComputeUnits::cpuNe);
  EXPECT_EQ(files.indexingIntensity(), IndexingIntensity::low);
  EXPECT_TRUE(MessagesPreferences(d, center).searchEnabled());
  EXPECT_EQ(IntelligencePreferences(d, center).selectedModel(), EmbeddingModel::bgeSmall);
  ClipboardPreferences clipboard(d, center);
  EXPECT_FALSE(clipboard.historyEnabled());
  EXPECT_EQ(clipboard.retentionDays(), 7);
  EXPECT_TRUE(DataSourcePreferences(d, center).weatherEnabled());
  EXPECT_EQ(AppDisplayPreferences(d, center).panelPosition(), PanelPosition::bottomTrailing);
  EXPECT_TRUE(TelemetryPreferences(d, center).telemetryEnabled());
}

TEST(PreferenceDefaultsTest, UnknownRawValuesFallBackToDefaults) {
  UserDefaults d;
  NotificationCenter center;
  ASSERT_TRUE(d.set(FilesPreferences::kComputeUnitsKey, "gpu").ok());
  ASSERT_TRUE(d.set(FilesPreferences::kSearchScopeKey, "User").ok());  // raw values are case-sensitive
  ASSERT_TRUE(d.set(FilesPreferences::kIndexingIntensityKey, "high").ok());
  ASSERT_TRUE(d.set(MessagesPreferences::kComputeUnitsKey, "").ok());
  ASSERT_TRUE(d.set(MessagesPreferences::kIndexingIntensityKey, "maximum ").ok());
  ASSERT_TRUE(d.set(IntelligencePreferences::kSelectedModelKey, "bge-large").ok());
  ASSERT_TRUE(d.set(IntelligencePreferences::kComputeUnitsKey, "cpu_ne").ok());
  ASSERT_TRUE(d.set(IntelligencePreferences::kIndexingIntensityKey, "Balanced").ok());
  ASSERT_TRUE(d.set(AppDisplayPreferences::kAppNameDisplayModeKey, "never").ok());
  ASSERT_TRUE(d.set(AppDisplayPreferences::kPanelPositionKey, "center").ok());
  FilesPreferences files(d, center);
  EXPECT_EQ(files.computeUnits(), EmbeddingComputeUnits::cpuNe);
  EXPECT_EQ(files.searchScope(), FilesPreferences::SearchScope::user);
  EXPECT_EQ(files.indexingIntensity(), IndexingIntensity::low);
  MessagesPreferences messages(d, center);
  EXPECT_EQ(messages.computeUnits(), EmbeddingComputeUnits::cpuNe);
  EXPECT_EQ(messages.indexingIntensity(), IndexingIntensity::low);
  IntelligencePreferences intelligence(d, center);
  EXPECT_EQ(intelligence.selectedModel(), EmbeddingModel::bgeSmall);
  EXPECT_EQ(intelligence.computeUnits(), EmbeddingComputeUnits::cpuNe);
  EXPECT_EQ(intelligence.indexingIntensity(), IndexingIntensity::balanced);
  AppDisplayPreferences display(d, center);
  EXPECT_EQ(display.appNameDisplayMode(), AppDisplayPreferences::AppNameDisplayMode::onShortcutPress);
  EXPECT_EQ(display.panelPosition(), PanelPosition::bottomTrailing);
}

TEST(PreferenceDefaultsTest, RetentionDaysAcceptsOnlyTheFourOptions) {
  NotificationCenter center;
  EXPECT_EQ(std::vector<int64_t>(ClipboardPreferences::retentionOptions.begin(),
                                 ClipboardPreferences::retentionOptions.end()),
            (std::vector<int64_t>{1, 7, 30, 0}));
  for (int64_t stored : std::vector<int64_t>{-1, 2, 14, 31, 365, int64_t{1} << 40}) {
    UserDefaults d;
    ASSERT_TRUE(d.set(ClipboardPreferences::kRetentionDaysKey, stored).ok());
    EXPECT_EQ(ClipboardPreferences(d, center).retentionDays(), 7) << stored;
  }
  for (int64_t stored : {1, 7, 30, 0}) {
    UserDefaults d;
    ASSERT_TRUE(d.set(ClipboardPreferences::kRetentionDaysKey, stored).ok());
    EXPECT_EQ(ClipboardPreferences(d, center).retentionDays(), stored);
  }
  UserDefaults d;
  ASSERT_TRUE(d.set(ClipboardPreferences::kRetentionDaysKey, 30.0).ok());
  EXPECT_EQ(ClipboardPreferences(d, center).retentionDays(), 7) << "a real number is not an integer";
}

TEST(PreferenceDefaultsTest, ConstructionRemovesTheObsoleteMaxItemCount) {
  UserDefaults d;
  NotificationCenter center;
  ASSERT_TRUE(d.set(ClipboardPreferences::kObsoleteMaxItemCountKey, 500).ok());
  ASSERT_TRUE(d.set(ClipboardPreferences::kHistoryEnabledKey, true).ok());
  ClipboardPreferences clipboard(d, center);
  EXPECT_FALSE(d.contains(ClipboardPreferences::kObsoleteMaxItemCountKey));
  EXPECT_TRUE(clipboard.historyEnabled());
}

// --- Setters -----------------------------------------------------------------

TEST(PreferenceSetterTest, ChangeWritesTheKeyRenewsVersionAndPostsWithTheObject) {
  UserDefaults d;
  NotificationCenter center;
  NotificationLog log(center);
  log.watch(FilesPreferences::kDidChangeNotification);
  FilesPreferences files(d, center);
  UUID before = files.version();
  // The notification observer sees the stored value, the written key and the new version.
  bool checked = false;
  ScopedObservation probe(center, FilesPreferences::kDidChangeNotification, [&](const Notification& n) {
    EXPECT_EQ(std::any_cast<FilesPreferences*>(n.object), &files);
    EXPECT_EQ(files.indexingIntensity(), IndexingIntensity::maximum);
    EXPECT_EQ(d.stringValue(FilesPreferences::kIndexingIntensityKey), "maximum");
    EXPECT_NE(files.version(), before);
    checked = true;
  });
  ASSERT_TRUE(files.setIndexingIntensity(IndexingIntensity::maximum).ok());
  EXPECT_TRUE(checked);
  EXPECT_EQ(log.count(FilesPreferences::kDidChangeNotification), 1u);
}

TEST(PreferenceSetterTest, SettingTheCurrentValueWritesNothingKeepsVersionAndPostsNothing) {
  UserDefaults d;
  NotificationCenter center;
  NotificationLog log(center);
  for (auto name :
       {FilesPreferences::kDidChangeNotification, MessagesPreferences::kDidChangeNotification,
        IntelligencePreferences::kDidChangeNotification, IntelligencePreferences::kEmbeddingModelDidChangeNotification,
        ClipboardPreferences::kDidChangeNotification}) {
    log.watch(name);
  }
  FilesPreferences files(d, center);
  MessagesPreferences messages(d, center);
  IntelligencePreferences intelligence(d, center);
  ClipboardPreferences clipboard(d, center);
  DataSourcePreferences sources(d, center);
  AppDisplayPreferences display(d, center);
  TelemetryPreferences telemetry(d, center);
  std::vector<UUID> versions = {files.version(),   messages.version(), intelligence.version(), clipboard.version(),
                                sources.version(), display.version(),  telemetry.version()};
  ASSERT_TRUE(files.setSearchEnabled(true).ok());
  ASSERT_TRUE(files.setSemanticSearchEnabled(false).ok());
  ASSERT_TRUE(files.setSearchScope(FilesPreferences::SearchScope::user).ok());
  ASSERT_TRUE(files.setIndexedFolders({}).ok());
  ASSERT_TRUE(files.setComputeUnits(EmbeddingComputeUnits::cpuNe).ok());
  ASSERT_TRUE(files.setIndexingIntensity(IndexingIntensity::low).ok());
  ASSERT_TRUE(files.removeIndexedFolder("/not/listed").ok());
  ASSERT_TRUE(messages.setSearchEnabled(true).ok());
  ASSERT_TRUE(messages.setSemanticSearchEnabled(false).ok());
  ASSERT_TRUE(messages.setComputeUnits(EmbeddingComputeUnits::cpuNe).ok());
  ASSERT_TRUE(messages.setIndexingIntensity(IndexingIntensity::low).ok());
  ASSERT_TRUE(intelligence.setSelectedModel(EmbeddingModel::bgeSmall).ok());
  ASSERT_TRUE(intelligence.setComputeUnits(EmbeddingComputeUnits::cpuNe).ok());
  ASSERT_TRUE(intelligence.setIndexingIntensity(IndexingIntensity::balanced).ok());
  ASSERT_TRUE(clipboard.setHistoryEnabled(false).ok());
  ASSERT_TRUE(clipboard.setRetentionDays(7).ok());
  ASSERT_TRUE(sources.setCalculatorEnabled(true).ok());
  ASSERT_TRUE(sources.setWikipediaEnabled(true).ok());
  ASSERT_TRUE(display.setPanelPosition(PanelPosition::bottomTrailing).ok());
  ASSERT_TRUE(display.setAppNameDisplayMode(AppDisplayPreferences::AppNameDisplayMode::onShortcutPress).ok());
  ASSERT_TRUE(telemetry.setTelemetryEnabled(true).ok());
  EXPECT_TRUE(d.keys().empty());
  EXPECT_TRUE(log.posts().empty());
  std::vector<UUID> after = {files.version(),   messages.version(), intelligence.version(), clipboard.version(),
                             sources.version(), display.version(),  telemetry.version()};
  EXPECT_EQ(versions, after);
}

TEST(PreferenceSetterTest, EverySetterPersistsUnderItsKeyWithItsType) {
  UserDefaults d;
  NotificationCenter center;
  FilesPreferences files(d, center);
  MessagesPreferences messages(d, center);
  IntelligencePreferences intelligence(d, center);
  ClipboardPreferences clipboard(d, center);
  DataSourcePreferences sources(d, center);
  AppDisplayPreferences display(d, center);
  TelemetryPreferences telemetry(d, center);
  ASSERT_TRUE(files.setSearchEnabled(false).ok());
  ASSERT_TRUE(files.setSemanticSearchEnabled(true).ok());
  ASSERT_TRUE(files.setSearchScope(FilesPreferences::SearchScope::system).ok());
  ASSERT_TRUE(files.setIndexedFolders({"/x", "/y"}).ok());
  ASSERT_TRUE(files.setComputeUnits(EmbeddingComputeUnits::all).ok());
  ASSERT_TRUE(messages.setSearchEnabled(false).ok());
  ASSERT_TRUE(messages.setSemanticSearchEnabled(true).ok());
  ASSERT_TRUE(messages.setComputeUnits(EmbeddingComputeUnits::cpu).ok());
  ASSERT_TRUE(messages.setIndexingIntensity(IndexingIntensity::minimal).ok());
  ASSERT_TRUE(intelligence.setSelectedModel(EmbeddingModel::bgeM3).ok());
  ASSERT_TRUE(intelligence.setComputeUnits(EmbeddingComputeUnits::cpuGpu).ok());
  ASSERT_TRUE(intelligence.setIndexingIntensity(IndexingIntensity::maximum).ok());
  ASSERT_TRUE(clipboard.setHistoryEnabled(true).ok());
  ASSERT_TRUE(clipboard.setRetentionDays(0).ok());
  ASSERT_TRUE(sources.setContactsEnabled(false).ok());
  ASSERT_TRUE(sources.setCalendarEnabled(false).ok());
  ASSERT_TRUE(sources.setMapsEnabled(false).ok());
  ASSERT_TRUE(sources.setDictionaryEnabled(false).ok());
  ASSERT_TRUE(display.setAppNameDisplayMode(AppDisplayPreferences::AppNameDisplayMode::always).ok());
  ASSERT_TRUE(display.setPanelPosition(PanelPosition::topLeading).ok());
  ASSERT_TRUE(telemetry.setTelemetryEnabled(false).ok());

  EXPECT_EQ(d.rawValue("FilesPreferences.searchEnabled"), nlohmann::json(false));
  EXPECT_EQ(d.rawValue("FilesPreferences.semanticSearchEnabled"), nlohmann::json(true));
  EXPECT_EQ(d.rawValue("FilesPreferences.searchScope"), nlohmann::json("system"));
  EXPECT_EQ(d.rawValue("FilesPreferences.indexedFolders"), nlohmann::json::array({"/x", "/y"}));
  EXPECT_EQ(d.rawValue("FilesPreferences.computeUnits"), nlohmann::json("all"));
  EXPECT_EQ(d.rawValue("MessagesPreferences.searchEnabled"), nlohmann::json(false));
  EXPECT_EQ(d.rawValue("MessagesPreferences.semanticSearchEnabled"), nlohmann::json(true));
  EXPECT_EQ(d.rawValue("MessagesPreferences.computeUnits"), nlohmann::json("cpu"));
  EXPECT_EQ(d.rawValue("MessagesPreferences.indexingIntensity"), nlohmann::json("minimal"));
  EXPECT_EQ(d.rawValue("IntelligencePreferences.selectedModel"), nlohmann::json("bge-m3"));
  EXPECT_EQ(d.rawValue("IntelligencePreferences.computeUnits"), nlohmann::json("cpuGpu"));
  EXPECT_EQ(d.rawValue("IntelligencePreferences.indexingIntensity"), nlohmann::json("maximum"));
  EXPECT_EQ(d.rawValue("ClipboardPreferences.historyEnabled"), nlohmann::json(true));
  EXPECT_EQ(d.rawValue("ClipboardPreferences.retentionDays"), nlohmann::json(0));
  EXPECT_EQ(d.rawValue("DataSourcePreferences.contactsEnabled"), nlohmann::json(false));
  EXPECT_EQ(d.rawValue("DataSourcePreferences.calendarEnabled"), nlohmann::json(false));
  EXPECT_EQ(d.rawValue("DataSourcePreferences.mapsEnabled"), nlohmann::json(false));
  EXPECT_EQ(d.rawValue("DataSourcePreferences.dictionaryEnabled"), nlohmann::json(false));
  EXPECT_EQ(d.rawValue("AppDisplayPreferences.appNameDisplayMode"), nlohmann::json("always"));
  EXPECT_EQ(d.rawValue("AppDisplayPreferences.panelPosition"), nlohmann::json("topLeading"));
  EXPECT_EQ(d.rawValue("TelemetryPreferences.telemetryEnabled"), nlohmann::json(false));
}

TEST(PreferenceSetterTest, OnlyFourObjectsPostAndModelChangeAlsoPostsTheNewModel) {
  UserDefaults d;
  NotificationCenter center;
  NotificationLog log(center);
  log.watch(IntelligencePreferences::kDidChangeNotification);
  log.watch(IntelligencePreferences::kEmbeddingModelDidChangeNotification);
  log.watch(MessagesPreferences::kDidChangeNotification);
  log.watch(ClipboardPreferences::kDidChangeNotification);
  IntelligencePreferences intelligence(d, center);
  ASSERT_TRUE(intelligence.setIndexingIntensity(IndexingIntensity::low).ok());
  EXPECT_EQ(log.count("EmbeddingModelDidChange"), 0u) << "only a model change announces a model";
  ASSERT_TRUE(intelligence.setSelectedModel(EmbeddingModel::bgeM3).ok());
  ASSERT_EQ(log.count("EmbeddingModelDidChange"), 1u);
  EXPECT_EQ(log.count("IntelligencePreferencesDidChange"), 2u);
  EXPECT_EQ(std::any_cast<EmbeddingModel>(log.posts().back().object), EmbeddingModel::bgeM3);

  MessagesPreferences messages(d, center);
  ASSERT_TRUE(messages.setSemanticSearchEnabled(true).ok());
  EXPECT_EQ(log.count("MessagesPreferencesDidChange"), 1u);
  ClipboardPreferences clipboard(d, center);
  ASSERT_TRUE(clipboard.setRetentionDays(30).ok());
  EXPECT_EQ(log.count("ClipboardPreferencesDidChange"), 1u);

  DataSourcePreferences sources(d, center);
  AppDisplayPreferences display(d, center);
  TelemetryPreferences telemetry(d, center);
  size_t before = log.posts().size();
  UUID v = sources.version();
  ASSERT_TRUE(sources.setMapsEnabled(false).ok());
  ASSERT_TRUE(display.setPanelPosition(PanelPosition::topCenter).ok());
  ASSERT_TRUE(telemetry.setTelemetryEnabled(false).ok());
  EXPECT_EQ(log.posts().size(), before);
  EXPECT_NE(sources.version(), v) << "silent objects still renew their version";
}

TEST(PreferenceSetterTest, InvalidRetentionIsRejectedWithoutAnyEffect) {
  UserDefaults d;
  NotificationCenter center;
  NotificationLog log(center);
  log.watch(ClipboardPreferences::kDidChangeNotification);
  ClipboardPreferences clipboard(d, center);
  UUID v = clipboard.version();
  Status s = clipboard.setRetentionDays(14);
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.error().description().find("14"), std::string::npos);
  EXPECT_EQ(clipboard.retentionDays(), 7);
  EXPECT_EQ(clipboard.version(), v);
  EXPECT_FALSE(d.contains(ClipboardPreferences::kRetentionDaysKey));
  EXPECT_TRUE(log.posts().empty());
}

// --- Indexed folders -----------------------------------------------------------

TEST(IndexedFoldersTest, SymlinkedFolderAddedTwiceLeavesOneResolvedEntry) {
  TempDir tmp;
  fs::create_directories(tmp / "real/Notes");
  fs::create_directory_symlink(tmp / "real", tmp / "link");
  UserDefaults d;
  NotificationCenter center;
  NotificationLog log(center);
  log.watch(FilesPreferences::kDidChangeNotification);
  FilesPreferences files(d, center);
  ASSERT_TRUE(files.addIndexedFolder(tmp / "real/Notes").ok());
  UUID v = files.version();
  ASSERT_TRUE(files.addIndexedFolder(tmp / "link/Notes/").ok());
  ASSERT_TRUE(files.addIndexedFolder(tmp / "link/./Notes/../Notes").ok());
  std::string resolved = fs::canonical(tmp.path() / "real/Notes").string();
  EXPECT_EQ(files.indexedFolders(), std::vector<std::string>{resolved});
  EXPECT_EQ(files.version(), v);
  EXPECT_EQ(log.count(FilesPreferences::kDidChangeNotification), 1u);
  EXPECT_EQ(d.stringArrayValue(FilesPreferences::kIndexedFoldersKey), std::vector<std::string>{resolved});
}

TEST(IndexedFoldersTest, FoldersKeepTheirOrderAndRemoveMatchesThroughLinks) {
  TempDir tmp;
  for (auto name : {"a", "b", "c"}) fs::create_directories(tmp.path() / name);
  fs::create_directory_symlink(tmp / "b", tmp / "to-b");
  UserDefaults d;
  NotificationCenter center;
  FilesPreferences files(d, center);
  ASSERT_TRUE(files.addIndexedFolder(tmp / "c").ok());
  ASSERT_TRUE(files.addIndexedFolder(tmp / "a").ok());
  ASSERT_TRUE(files.addIndexedFolder(tmp / "b").ok());
  ASSERT_EQ(files.indexedFolders().size(), 3u);
  EXPECT_EQ(fs::path(files.indexedFolders()[0]).filename(), "c");
  EXPECT_EQ(fs::path(files.indexedFolders()[1]).filename(), "a");
  ASSERT_TRUE(files.removeIndexedFolder(tmp / "to-b/").ok());
  ASSERT_EQ(files.indexedFolders().size(), 2u);
  EXPECT_EQ(fs::path(files.indexedFolders()[1]).filename(), "a");
  // A duplicate written into the store by hand is removed with its twin.
  std::vector<std::string> withDuplicate = files.indexedFolders();
  withDuplicate.push_back(withDuplicate[0] + "/");
  ASSERT_TRUE(files.setIndexedFolders(withDuplicate).ok());
  ASSERT_TRUE(files.removeIndexedFolder(tmp / "c").ok());
  ASSERT_EQ(files.indexedFolders().size(), 1u);
  EXPECT_EQ(fs::path(files.indexedFolders()[0]).filename(), "a");
}

TEST(IndexedFoldersTest, MissingFolderIsStandardisedAndKept) {
  TempDir tmp;
  UserDefaults d;
  NotificationCenter center;
  FilesPreferences files(d, center);
  ASSERT_TRUE(files.addIndexedFolder(tmp / "later/../later/sub//").ok());
  ASSERT_EQ(files.indexedFolders().size(), 1u);
  EXPECT_EQ(files.indexedFolders()[0], fs::canonical(tmp.path()).string() + "/later/sub");
}

TEST(SearchScopeTest, UserScopeListsExistingHomeFoldersInOrder) {
  TempDir tmp;
  fs::create_directories(tmp / "Developer");
  fs::create_directories(tmp / "Documents");
  std::ofstream(tmp / "Downloads") << "a file, not a folder";
  DataDirectories dirs = DataDirectories::forHome(tmp.path().string());
  EXPECT_EQ(FilesPreferences::scopeDirectories(FilesPreferences::SearchScope::user, dirs),
            (std::vector<std::string>{tmp / "Documents", tmp / "Developer"}));
  fs::create_directories(tmp / "Desktop");
  EXPECT_EQ(FilesPreferences::scopeDirectories(FilesPreferences::SearchScope::user, dirs),
            (std::vector<std::string>{tmp / "Documents", tmp / "Desktop", tmp / "Developer"}));
  EXPECT_TRUE(FilesPreferences::scopeDirectories(FilesPreferences::SearchScope::system, dirs).empty());
}

// --- Persistence -----------------------------------------------------------------

TEST(PreferencePersistenceTest, ValuesSurviveAReloadFromTheDefaultsFile) {
  TempDir tmp;
  std::string path = tmp / "UserDefaults.json";
  NotificationCenter center;
  {
    UserDefaults d(path);
    FilesPreferences files(d, center);
    ASSERT_TRUE(files.addIndexedFolder(tmp.path().string()).ok());
    ASSERT_TRUE(files.setComputeUnits(EmbeddingComputeUnits::cpuGpu).ok());
    IntelligencePreferences intelligence(d, center);
    ASSERT_TRUE(intelligence.setSelectedModel(EmbeddingModel::bgeM3).ok());
    ClipboardPreferences clipboard(d, center);
    ASSERT_TRUE(clipboard.setRetentionDays(1).ok());
    AppDisplayPreferences display(d, center);
    ASSERT_TRUE(display.setPanelPosition(PanelPosition::topTrailing).ok());
  }
  UserDefaults reloaded(path);
  ASSERT_FALSE(reloaded.loadError().has_value());
  FilesPreferences files(reloaded, center);
  EXPECT_EQ(files.indexedFolders(), std::vector<std::string>{fs::canonical(tmp.path()).string()});
  EXPECT_EQ(files.computeUnits(), EmbeddingComputeUnits::cpuGpu);
  EXPECT_EQ(IntelligencePreferences(reloaded, center).selectedModel(), EmbeddingModel::bgeM3);
  EXPECT_EQ(ClipboardPreferences(reloaded, center).retentionDays(), 1);
  EXPECT_EQ(AppDisplayPreferences(reloaded, center).panelPosition(), PanelPosition::topTrailing);
}

TEST(PreferencePersistenceTest, CorruptDefaultsFileGivesAClearMessageAndAFreshStart) {
  TempDir tmp;
  std::string path = tmp / "UserDefaults.json";
  for (std::string corrupt : {std::string("{\"FilesPreferences.searchEnabled\": fal"), std::string("[1, 2]"),
                              std::string("\x00\xff\xfe garbage", 12), std::string("\"just a string\"")}) {
    fs::remove(path + ".corrupt");
    ASSERT_TRUE(writeFileAtomically(path, corrupt).ok());
    UserDefaults d(path);
    ASSERT_TRUE(d.loadError().has_value());
    EXPECT_NE(d.loadError()->description().find(path), std::string::npos);
    EXPECT_NE(d.loadError()->description().find("start fresh"), std::string::npos);
    NotificationCenter center;
    FilesPreferences files(d, center);
    EXPECT_TRUE(files.searchEnabled());
    ClipboardPreferences clipboard(d, center);
    EXPECT_EQ(clipboard.retentionDays(), 7);
    // The fresh store is writable and replaces the corrupt file.
    ASSERT_TRUE(files.setSearchEnabled(false).ok());
    EXPECT_FALSE(FilesPreferences(*std::make_unique<UserDefaults>(path), center).searchEnabled());
    EXPECT_TRUE(fs::exists(path + ".corrupt"));
  }
}

}  // namespace
}  // namespace pallix
