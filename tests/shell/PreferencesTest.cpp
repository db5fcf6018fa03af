// The seven preference objects: defaults and fallbacks, setters, folders,
// migration and persistence.
#include <fstream>
#include <functional>
#include <tuple>

#include "PreferencesTestSupport.h"
#include "core/FileUtil.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;

using nlohmann::json;
using test::loadedByObjects;
using test::NotificationLog;
using TempDir = pallix::testing::TempDir;

// Every key's default, written out independently of the objects.
const std::map<std::string, json> kDefaults = {
    {"FilesPreferences.searchEnabled", true},
    {"FilesPreferences.semanticSearchEnabled", false},
    {"FilesPreferences.searchScope", "user"},
    {"FilesPreferences.indexedFolders", json::array()},
    {"FilesPreferences.computeUnits", "cpuNe"},
    {"FilesPreferences.indexingIntensity", "low"},
    {"MessagesPreferences.searchEnabled", true},
    {"MessagesPreferences.semanticSearchEnabled", false},
    {"MessagesPreferences.computeUnits", "cpuNe"},
    {"MessagesPreferences.indexingIntensity", "low"},
    {"IntelligencePreferences.selectedModel", "bge-small"},
    {"IntelligencePreferences.computeUnits", "cpuNe"},
    {"IntelligencePreferences.indexingIntensity", "balanced"},
    {"ClipboardPreferences.historyEnabled", false},
    {"ClipboardPreferences.retentionDays", 7},
    {"DataSourcePreferences.calculatorEnabled", true},
    {"DataSourcePreferences.contactsEnabled", true},
    {"DataSourcePreferences.calendarEnabled", true},
    {"DataSourcePreferences.mapsEnabled", true},
    {"DataSourcePreferences.weatherEnabled", true},
    {"DataSourcePreferences.dictionaryEnabled", true},
    {"DataSourcePreferences.wikipediaEnabled", true},
    {"AppDisplayPreferences.appNameDisplayMode", "onShortcutPress"},
    {"AppDisplayPreferences.panelPosition", "bottomTrailing"},
    {"TelemetryPreferences.telemetryEnabled", true},
};

// The seven objects over one store and one center.
struct AllPreferences {
  UserDefaults d;
  NotificationCenter center;
  FilesPreferences files{d, center};
  MessagesPreferences messages{d, center};
  IntelligencePreferences intelligence{d, center};
  ClipboardPreferences clipboard{d, center};
  DataSourcePreferences sources{d, center};
  AppDisplayPreferences display{d, center};
  TelemetryPreferences telemetry{d, center};
  std::vector<UUID> versions() const {
    return {files.version(),   messages.version(), intelligence.version(), clipboard.version(),
            sources.version(), display.version(),  telemetry.version()};
  }
};

// --- Defaults --------------------------------------------------------------

TEST(PreferenceDefaultsTest, EmptyStoresAndIgnoredStoredValuesGiveEveryDefault) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, json>> stored;
  } cases[] = {
      {"empty", {}},
      {"wrong types",  // booleans as strings and numbers, strings as numbers, arrays of mixed types
       {{"FilesPreferences.searchEnabled", "false"},
        {"FilesPreferences.semanticSearchEnabled", 1},
        {"FilesPreferences.searchScope", 1},
        {"FilesPreferences.indexedFolders", json::array({"/a", 2})},
        {"FilesPreferences.computeUnits", true},
        {"FilesPreferences.indexingIntensity", json::array({"maximum"})},
        {"MessagesPreferences.searchEnabled", 0},
        {"IntelligencePreferences.selectedModel", 2.5},
        {"ClipboardPreferences.historyEnabled", "true"},
        {"ClipboardPreferences.retentionDays", "30"},
        {"DataSourcePreferences.weatherEnabled", "no"},
        {"AppDisplayPreferences.panelPosition", 3},
        {"TelemetryPreferences.telemetryEnabled", 0.0}}},
      {"unknown raw values",  // raw values are case- and space-sensitive
       {{"FilesPreferences.computeUnits", "gpu"},
        {"FilesPreferences.searchScope", "User"},
        {"FilesPreferences.indexingIntensity", "high"},
        {"MessagesPreferences.computeUnits", ""},
        {"MessagesPreferences.indexingIntensity", "maximum "},
        {"IntelligencePreferences.selectedModel", "bge-large"},
        {"IntelligencePreferences.computeUnits", "cpu_ne"},
        {"IntelligencePreferences.indexingIntensity", "Balanced"},
        {"AppDisplayPreferences.appNameDisplayMode", "never"},
        {"AppDisplayPreferences.panelPosition", "center"}}},
  };
  for (const auto& k : cases) {
    UserDefaults d;
    for (const auto& [key, value] : k.stored) ASSERT_TRUE(d.setRaw(key, value).ok()) << k.name << " " << key;
    auto loaded = loadedByObjects(d);
    EXPECT_EQ(loaded.size(), kDefaults.size()) << k.name;
    for (const auto& [key, value] : kDefaults) EXPECT_EQ(loaded[key], value) << k.name << " " << key;
    EXPECT_EQ(d.keys().size(), k.stored.size()) << k.name << ": loading writes nothing";
  }
}

TEST(PreferenceDefaultsTest, RetentionDaysAcceptsOnlyTheFourOptions) {
  NotificationCenter center;
  // Stored value → loaded value; a real number is not an integer.
  for (auto [stored, loaded] : std::vector<std::pair<json, int64_t>>{{-1, 7},
                                                                     {2, 7},
                                                                     {14, 7},
                                                                     {31, 7},
                                                                     {365, 7},
                                                                     {int64_t{1} << 40, 7},
                                                                     {30.0, 7},
                                                                     {1, 1},
                                                                     {7, 7},
                                                                     {30, 30},
                                                                     {0, 0}}) {
    UserDefaults d;
    ASSERT_TRUE(d.setRaw(ClipboardPreferences::kRetentionDaysKey, stored).ok());
    EXPECT_EQ(ClipboardPreferences(d, center).retentionDays(), loaded) << stored.dump();
  }
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
  AllPreferences all;
  auto& [d, center, files, messages, intelligence, clipboard, sources, display, telemetry] = all;
  NotificationLog log(center);
  for (auto name :
       {FilesPreferences::kDidChangeNotification, MessagesPreferences::kDidChangeNotification,
        IntelligencePreferences::kDidChangeNotification, IntelligencePreferences::kEmbeddingModelDidChangeNotification,
        ClipboardPreferences::kDidChangeNotification}) {
    log.watch(name);
  }
  std::vector<UUID> versions = all.versions();
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
  EXPECT_EQ(all.versions(), versions);
}

TEST(PreferenceSetterTest, EverySetterPersistsUnderItsKeyWithItsType) {
  AllPreferences all;
  auto& [d, center, files, messages, intelligence, clipboard, sources, display, telemetry] = all;
  using Mode = AppDisplayPreferences::AppNameDisplayMode;
  const std::tuple<std::function<Status()>, const char*, json> cases[] = {
      {[&] { return files.setSearchEnabled(false); }, "FilesPreferences.searchEnabled", false},
      {[&] { return files.setSemanticSearchEnabled(true); }, "FilesPreferences.semanticSearchEnabled", true},
      {[&] { return files.setSearchScope(FilesPreferences::SearchScope::system); }, "FilesPreferences.searchScope",
       "system"},
      {[&] {
         return files.setIndexedFolders({"/x", "/y"});
       },
       "FilesPreferences.indexedFolders", json::array({"/x", "/y"})},
      {[&] { return files.setComputeUnits(EmbeddingComputeUnits::all); }, "FilesPreferences.computeUnits", "all"},
      {[&] { return messages.setSearchEnabled(false); }, "MessagesPreferences.searchEnabled", false},
      {[&] { return messages.setSemanticSearchEnabled(true); }, "MessagesPreferences.semanticSearchEnabled", true},
      {[&] { return messages.setComputeUnits(EmbeddingComputeUnits::cpu); }, "MessagesPreferences.computeUnits", "cpu"},
      {[&] { return messages.setIndexingIntensity(IndexingIntensity::minimal); },
       "MessagesPreferences.indexingIntensity", "minimal"},
      {[&] { return intelligence.setSelectedModel(EmbeddingModel::bgeM3); }, "IntelligencePreferences.selectedModel",
       "bge-m3"},
      {[&] { return intelligence.setComputeUnits(EmbeddingComputeUnits::cpuGpu); },
       "IntelligencePreferences.computeUnits", "cpuGpu"},
      {[&] { return intelligence.setIndexingIntensity(IndexingIntensity::maximum); },
       "IntelligencePreferences.indexingIntensity", "maximum"},
      {[&] { return clipboard.setHistoryEnabled(true); }, "ClipboardPreferences.historyEnabled", true},
      {[&] { return clipboard.setRetentionDays(0); }, "ClipboardPreferences.retentionDays", 0},
      {[&] { return sources.setContactsEnabled(false); }, "DataSourcePreferences.contactsEnabled", false},
      {[&] { return sources.setCalendarEnabled(false); }, "DataSourcePreferences.calendarEnabled", false},
      {[&] { return sources.setMapsEnabled(false); }, "DataSourcePreferences.mapsEnabled", false},
      {[&] { return sources.setDictionaryEnabled(false); }, "DataSourcePreferences.dictionaryEnabled", false},
      {[&] { return display.setAppNameDisplayMode(Mode::always); }, "AppDisplayPreferences.appNameDisplayMode",
       "always"},
      {[&] { return display.setPanelPosition(PanelPosition::topLeading); }, "AppDisplayPreferences.panelPosition",
       "topLeading"},
      {[&] { return telemetry.setTelemetryEnabled(false); }, "TelemetryPreferences.telemetryEnabled", false},
  };
  for (const auto& [set, key, value] : cases) ASSERT_TRUE(set().ok()) << key;
  for (const auto& [set, key, value] : cases) EXPECT_EQ(d.rawValue(key), value) << key;
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
  ASSERT_TRUE(testing::failsWith(s, "14"));
  EXPECT_EQ(clipboard.retentionDays(), 7);
  EXPECT_EQ(clipboard.version(), v);
  EXPECT_FALSE(d.contains(ClipboardPreferences::kRetentionDaysKey));
  EXPECT_TRUE(log.posts().empty());
}

// --- Indexed folders -----------------------------------------------------------

// One files preference object over an empty store, and a temporary folder.
class IndexedFoldersTest : public ::testing::Test {
 protected:
  TempDir tmp;
  UserDefaults d;
  NotificationCenter center;
  FilesPreferences files{d, center};
};

TEST_F(IndexedFoldersTest, SymlinkedFolderAddedTwiceLeavesOneResolvedEntry) {
  fs::create_directories(tmp / "real/Notes");
  fs::create_directory_symlink(tmp / "real", tmp / "link");
  NotificationLog log(center);
  log.watch(FilesPreferences::kDidChangeNotification);
  ASSERT_TRUE(files.addIndexedFolder(tmp / "real/Notes").ok());
  UUID v = files.version();
  ASSERT_TRUE(files.addIndexedFolder(tmp / "link/Notes/").ok());
  ASSERT_TRUE(files.addIndexedFolder(tmp / "link/./Notes/../Notes").ok());
  std::string resolved = fs::canonical(tmp / "real/Notes").string();
  EXPECT_EQ(files.indexedFolders(), std::vector<std::string>{resolved});
  EXPECT_EQ(files.version(), v);
  EXPECT_EQ(log.count(FilesPreferences::kDidChangeNotification), 1u);
  EXPECT_EQ(d.stringArrayValue(FilesPreferences::kIndexedFoldersKey), std::vector<std::string>{resolved});
}

TEST_F(IndexedFoldersTest, FoldersKeepTheirOrderAndRemoveMatchesThroughLinks) {
  for (auto name : {"a", "b", "c"}) fs::create_directories(tmp / name);
  fs::create_directory_symlink(tmp / "b", tmp / "to-b");
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

TEST_F(IndexedFoldersTest, MissingFolderIsStandardisedAndKept) {
  ASSERT_TRUE(files.addIndexedFolder(tmp / "later/../later/sub//").ok());
  ASSERT_EQ(files.indexedFolders().size(), 1u);
  EXPECT_EQ(files.indexedFolders()[0], fs::canonical(tmp.path()).string() + "/later/sub");
}

TEST(SearchScopeTest, UserScopeListsExistingHomeFoldersInOrder) {
  TempDir tmp;
  fs::create_directories(tmp / "Developer");
  fs::create_directories(tmp / "Documents");
  std::ofstream(tmp / "Downloads") << "a file, not a folder";
  DataDirectories dirs = DataDirectories::forHome(tmp.path());
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
    ASSERT_TRUE(files.addIndexedFolder(tmp.path()).ok());
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
