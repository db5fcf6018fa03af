// The seven preference objects (defaults and fallbacks, setters, folders,
// migration) and the key catalogue the command line uses: agreement with the
// objects, and parsing of command-line values.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <tuple>

#include "app/preferences/AppDisplayPreferences.h"
#include "app/preferences/ClipboardPreferences.h"
#include "app/preferences/DataSourcePreferences.h"
#include "app/preferences/FilesPreferences.h"
#include "app/preferences/IntelligencePreferences.h"
#include "app/preferences/MessagesPreferences.h"
#include "app/preferences/TelemetryPreferences.h"
#include "app/shell/KnownPreferences.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;

using nlohmann::json;
using TempDir = pallix::testing::TempDir;

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

// The seven preference objects over one store and notification center.
struct AllPreferences {
  AllPreferences(UserDefaults& d, NotificationCenter& center)
      : files(d, center),
        messages(d, center),
        intelligence(d, center),
        clipboard(d, center),
        sources(d, center),
        display(d, center),
        telemetry(d, center) {}
  std::vector<UUID> versions() const {
    return {files.version(),   messages.version(), intelligence.version(), clipboard.version(),
            sources.version(), display.version(),  telemetry.version()};
  }
  FilesPreferences files;
  MessagesPreferences messages;
  IntelligencePreferences intelligence;
  ClipboardPreferences clipboard;
  DataSourcePreferences sources;
  AppDisplayPreferences display;
  TelemetryPreferences telemetry;
};

// What the preference objects load from `d`, as key → JSON value (enumerations as raw values).
inline std::map<std::string, nlohmann::json> loadedByObjects(UserDefaults& d) {
  using nlohmann::json;
  NotificationCenter center;
  AllPreferences all(d, center);
  auto& [f, m, i, c, s, a, t] = all;
  auto str = [](std::string_view v) { return json(std::string(v)); };
  return {
      {f.kSearchEnabledKey, f.searchEnabled()},
      {f.kSemanticSearchEnabledKey, f.semanticSearchEnabled()},
      {f.kSearchScopeKey, str(FilesPreferences::rawValue(f.searchScope()))},
      {f.kIndexedFoldersKey, f.indexedFolders()},
      {f.kComputeUnitsKey, str(pallix::rawValue(f.computeUnits()))},
      {f.kIndexingIntensityKey, str(rawValue(f.indexingIntensity()))},
      {m.kSearchEnabledKey, m.searchEnabled()},
      {m.kSemanticSearchEnabledKey, m.semanticSearchEnabled()},
      {m.kComputeUnitsKey, str(pallix::rawValue(m.computeUnits()))},
      {m.kIndexingIntensityKey, str(rawValue(m.indexingIntensity()))},
      {i.kSelectedModelKey, str(pallix::rawValue(i.selectedModel()))},
      {i.kComputeUnitsKey, str(pallix::rawValue(i.computeUnits()))},
      {i.kIndexingIntensityKey, str(rawValue(i.indexingIntensity()))},
      {c.kHistoryEnabledKey, c.historyEnabled()},
      {c.kRetentionDaysKey, c.retentionDays()},
      {c.kMaxStorageMBKey, c.maxStorageMB()},
      {c.kLinkPreviewsEnabledKey, c.linkPreviewsEnabled()},
      {c.kSemanticSearchEnabledKey, c.semanticSearchEnabled()},
      {s.kCalculatorEnabledKey, s.calculatorEnabled()},
      {s.kContactsEnabledKey, s.contactsEnabled()},
      {s.kCalendarEnabledKey, s.calendarEnabled()},
      {s.kMapsEnabledKey, s.mapsEnabled()},
      {s.kWeatherEnabledKey, s.weatherEnabled()},
      {s.kDictionaryEnabledKey, s.dictionaryEnabled()},
      {s.kWikipediaEnabledKey, s.wikipediaEnabled()},
      {a.kAppNameDisplayModeKey, str(AppDisplayPreferences::rawValue(a.appNameDisplayMode()))},
      {a.kPanelPositionKey, str(rawValue(a.panelPosition()))},
      {t.kTelemetryEnabledKey, t.telemetryEnabled()},
  };
}

// --- Setters -----------------------------------------------------------------

// Each setter writes its key once, then renews its object's version; four of the
// objects post, and a model change also posts the new model. Setting the value
// again, or a retention outside the options, writes, renews and posts nothing.
TEST(PreferenceSetterTest, EverySetterPersistsUnderItsKeyWithItsTypeAndAnnouncesOnlyAChange) {
  UserDefaults d;
  NotificationCenter center;
  AllPreferences all(d, center);
  NotificationLog log(center);
  for (auto name :
       {FilesPreferences::kDidChangeNotification, MessagesPreferences::kDidChangeNotification,
        IntelligencePreferences::kDidChangeNotification, IntelligencePreferences::kEmbeddingModelDidChangeNotification,
        ClipboardPreferences::kDidChangeNotification}) {
    log.watch(name);
  }
  using Mode = AppDisplayPreferences::AppNameDisplayMode;
  const std::tuple<std::function<Status()>, const char*, json> cases[] = {
      {[&] { return all.files.setSearchEnabled(false); }, "FilesPreferences.searchEnabled", false},
      {[&] { return all.files.setSemanticSearchEnabled(true); }, "FilesPreferences.semanticSearchEnabled", true},
      {[&] { return all.files.setSearchScope(FilesPreferences::SearchScope::system); }, "FilesPreferences.searchScope",
       "system"},
      {[&] {
         return all.files.setIndexedFolders({"/x", "/y"});
       },
       "FilesPreferences.indexedFolders", json::array({"/x", "/y"})},
      {[&] { return all.files.setComputeUnits(EmbeddingComputeUnits::all); }, "FilesPreferences.computeUnits", "all"},
      {[&] { return all.messages.setSearchEnabled(false); }, "MessagesPreferences.searchEnabled", false},
      {[&] { return all.messages.setSemanticSearchEnabled(true); }, "MessagesPreferences.semanticSearchEnabled", true},
      {[&] { return all.messages.setComputeUnits(EmbeddingComputeUnits::cpu); }, "MessagesPreferences.computeUnits",
       "cpu"},
      {[&] { return all.messages.setIndexingIntensity(IndexingIntensity::minimal); },
       "MessagesPreferences.indexingIntensity", "minimal"},
      {[&] { return all.intelligence.setSelectedModel(EmbeddingModel::bgeM3); },
       "IntelligencePreferences.selectedModel", "bge-m3"},
      {[&] { return all.intelligence.setComputeUnits(EmbeddingComputeUnits::cpuGpu); },
       "IntelligencePreferences.computeUnits", "cpuGpu"},
      {[&] { return all.intelligence.setIndexingIntensity(IndexingIntensity::maximum); },
       "IntelligencePreferences.indexingIntensity", "maximum"},
      {[&] { return all.clipboard.setHistoryEnabled(true); }, "ClipboardPreferences.historyEnabled", true},
      {[&] { return all.clipboard.setRetentionDays(0); }, "ClipboardPreferences.retentionDays", 0},
      {[&] { return all.clipboard.setMaxStorageMB(64); }, "ClipboardPreferences.maxStorageMB", 64},
      {[&] { return all.clipboard.setLinkPreviewsEnabled(false); }, "ClipboardPreferences.linkPreviewsEnabled", false},
      {[&] { return all.clipboard.setSemanticSearchEnabled(true); }, "ClipboardPreferences.semanticSearchEnabled",
       true},
      {[&] { return all.sources.setContactsEnabled(false); }, "DataSourcePreferences.contactsEnabled", false},
      {[&] { return all.sources.setCalendarEnabled(false); }, "DataSourcePreferences.calendarEnabled", false},
      {[&] { return all.sources.setMapsEnabled(false); }, "DataSourcePreferences.mapsEnabled", false},
      {[&] { return all.sources.setDictionaryEnabled(false); }, "DataSourcePreferences.dictionaryEnabled", false},
      {[&] { return all.display.setAppNameDisplayMode(Mode::always); }, "AppDisplayPreferences.appNameDisplayMode",
       "always"},
      {[&] { return all.display.setPanelPosition(PanelPosition::topLeading); }, "AppDisplayPreferences.panelPosition",
       "topLeading"},
      {[&] { return all.telemetry.setTelemetryEnabled(false); }, "TelemetryPreferences.telemetryEnabled", false},
  };
  const std::vector<UUID> initial = all.versions();
  // A files post comes with the object, after the write and the new version.
  std::pair<const char*, json> current;
  UUID seen = all.files.version();
  ScopedObservation probe(center, FilesPreferences::kDidChangeNotification, [&](const Notification& n) {
    EXPECT_EQ(std::any_cast<FilesPreferences*>(n.object), &all.files);
    EXPECT_EQ(d.rawValue(current.first), current.second);
    EXPECT_NE(all.files.version(), seen);
    seen = all.files.version();
  });
  for (const auto& [set, key, value] : cases) {
    current = {key, value};
    ASSERT_TRUE(set().ok()) << key;
  }
  for (const auto& [set, key, value] : cases) EXPECT_EQ(d.rawValue(key), value) << key;
  const std::vector<UUID> renewed = all.versions();
  for (size_t i = 0; i < renewed.size(); ++i) EXPECT_NE(renewed[i], initial[i]) << i;
  EXPECT_EQ(log.count(FilesPreferences::kDidChangeNotification), 5u);
  EXPECT_EQ(log.count(MessagesPreferences::kDidChangeNotification), 4u);
  EXPECT_EQ(log.count(IntelligencePreferences::kDidChangeNotification), 3u);
  EXPECT_EQ(log.count(ClipboardPreferences::kDidChangeNotification), 5u);
  ASSERT_EQ(log.count(IntelligencePreferences::kEmbeddingModelDidChangeNotification), 1u);
  for (const Notification& n : log.posts()) {
    if (n.name == IntelligencePreferences::kEmbeddingModelDidChangeNotification) {
      EXPECT_EQ(std::any_cast<EmbeddingModel>(n.object), EmbeddingModel::bgeM3);
    }
  }
  const size_t posts = log.posts().size();
  ASSERT_TRUE(d.remove(FilesPreferences::kSearchEnabledKey).ok());
  for (const auto& [set, key, value] : cases) ASSERT_TRUE(set().ok()) << key;
  ASSERT_TRUE(all.files.removeIndexedFolder("/not/listed").ok());
  // A retention outside the four options is refused without any effect.
  ASSERT_TRUE(testing::failsWith(all.clipboard.setRetentionDays(14), "14"));
  EXPECT_EQ(all.clipboard.retentionDays(), 0);
  EXPECT_EQ(d.rawValue(ClipboardPreferences::kRetentionDaysKey), 0);
  ASSERT_TRUE(testing::failsWith(all.clipboard.setMaxStorageMB(0), "1 MB or more"));
  EXPECT_EQ(all.clipboard.settings().maxStorageBytes, int64_t{64} << 20);
  EXPECT_FALSE(d.contains(FilesPreferences::kSearchEnabledKey)) << "an unchanged value is not written again";
  EXPECT_EQ(log.posts().size(), posts);
  EXPECT_EQ(all.versions(), renewed);
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

TEST_F(IndexedFoldersTest, SymlinkedFolderAddedTwiceLeavesOneResolvedEntryAndAMissingOneIsStandardised) {
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
  ASSERT_TRUE(files.addIndexedFolder(tmp / "later/../later/sub//").ok());
  EXPECT_EQ(files.indexedFolders(),
            (std::vector<std::string>{resolved, fs::canonical(tmp.path()).string() + "/later/sub"}));
}

TEST_F(IndexedFoldersTest, FoldersKeepTheirOrderAndRemoveMatchesThroughLinks) {
  auto names = [&] {
    std::vector<std::string> out;
    for (const auto& folder : files.indexedFolders()) out.push_back(fs::path(folder).filename());
    return out;
  };
  for (auto name : {"a", "b", "c"}) fs::create_directories(tmp / name);
  fs::create_directory_symlink(tmp / "b", tmp / "to-b");
  ASSERT_TRUE(files.addIndexedFolder(tmp / "c").ok());
  ASSERT_TRUE(files.addIndexedFolder(tmp / "a").ok());
  ASSERT_TRUE(files.addIndexedFolder(tmp / "b").ok());
  EXPECT_EQ(names(), (std::vector<std::string>{"c", "a", "b"}));
  ASSERT_TRUE(files.removeIndexedFolder(tmp / "to-b/").ok());
  EXPECT_EQ(names(), (std::vector<std::string>{"c", "a"}));
  // A duplicate written into the store by hand is removed with its twin.
  std::vector<std::string> withDuplicate = files.indexedFolders();
  withDuplicate.push_back(withDuplicate[0] + "/");
  ASSERT_TRUE(files.setIndexedFolders(withDuplicate).ok());
  ASSERT_TRUE(files.removeIndexedFolder(tmp / "c").ok());
  EXPECT_EQ(names(), std::vector<std::string>{"a"});
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

// --- Key catalogue ---------------------------------------------------------------

// An empty store (but for the obsolete clipboard item count) gives every
// default, in the objects and in the catalogue; loading removes the obsolete
// key and writes nothing.
TEST(KnownPreferencesTest, CatalogueCoversEveryKeyOnceWithTheObjectPrefixAndItsDefault) {
  std::set<std::string> keys;
  UserDefaults empty;
  ASSERT_TRUE(empty.set(ClipboardPreferences::kObsoleteMaxItemCountKey, 500).ok());
  auto loaded = loadedByObjects(empty);
  for (const auto& d : knownPreferences()) {
    EXPECT_TRUE(keys.insert(d.key).second) << d.key;
    EXPECT_EQ(d.key.rfind(d.object + ".", 0), 0u) << d.key;
    EXPECT_EQ(findKnownPreference(d.key), &d);
    EXPECT_EQ(loaded.at(d.key), d.defaultValue) << d.key;
  }
  EXPECT_EQ(keys.size(), loaded.size());
  EXPECT_TRUE(empty.keys().empty());
  EXPECT_EQ(findKnownPreference("ClipboardPreferences.maxItemCount"), nullptr);
}

// Random stored values (right and wrong types, allowed and unknown raw
// values, which are case- and space-sensitive): the catalogue's effective
// value must equal what the objects load, and loading writes nothing.
TEST(KnownPreferencesTest, EffectiveValuesAgreeWithTheObjectsOnRandomStores) {
  std::mt19937 rng(20261205);
  std::vector<json> pool = {true,       false,      0,         1,          7,          14,           30,
                            -3,         30.0,       1ll << 40, 2.5,        "",         "user",       "system",
                            "cpuNe",    "gpu",      "cpu_ne",  "User",     "Balanced", "all",        "bge-m3",
                            "low",      "maximum ", "maximum", "balanced", "always",   "topLeading", "bottomCenter",
                            "bge-small"};
  pool.insert(pool.end(), {json::array(), json::array({"/a", "/b"}), json::array({"/a", 3}), json::object(), nullptr});
  for (int round = 0; round < 400; ++round) {
    UserDefaults d;
    for (const auto& desc : knownPreferences()) {
      int pick = std::uniform_int_distribution<int>(0, static_cast<int>(pool.size()) + 2)(rng);
      if (pick >= static_cast<int>(pool.size())) {
        if (!desc.allowedValues.empty() && pick == static_cast<int>(pool.size())) {
          ASSERT_TRUE(d.setRaw(desc.key, desc.allowedValues[rng() % desc.allowedValues.size()]).ok());
        }
        continue;  // absent
      }
      ASSERT_TRUE(d.setRaw(desc.key, pool[pick]).ok());
    }
    const size_t stored = d.keys().size();
    auto loaded = loadedByObjects(d);
    ASSERT_EQ(d.keys().size(), stored);
    for (const auto& desc : knownPreferences()) {
      ASSERT_EQ(effectivePreferenceValue(desc, d), loaded.at(desc.key))
          << desc.key << " stored " << d.rawValue(desc.key).value_or("absent").dump();
    }
  }
}

// A parse case: a preference key (or a type name: bool, int, double, string,
// date), the text, and either the value it gives or (discarded) a failure
// whose message contains `error`.
struct ParseCase {
  const char* keyOrType;
  const char* text;
  nlohmann::json expected;
  const char* error = "";
};

TEST(KnownPreferencesTest, ParsingValidatesTypeAndAllowedValuesAndTypedValuesParseTheirTextForms) {
  const json fails = json(json::value_t::discarded);
  const json date = {{"$date", 1733400000.0}};
  const ParseCase cases[] = {
      {"FilesPreferences.searchScope", "system", "system"},
      {"FilesPreferences.searchScope", "everywhere", fails, "user, system"},
      {"ClipboardPreferences.retentionDays", "0", 0},
      {"ClipboardPreferences.retentionDays", "14", fails, "1, 7, 30, 0"},
      {"ClipboardPreferences.retentionDays", "week", fails, "int"},
      {"ClipboardPreferences.maxStorageMB", "64", 64},
      {"ClipboardPreferences.maxStorageMB", "0", fails, "1 to"},
      {"TelemetryPreferences.telemetryEnabled", "NO", false},
      {"TelemetryPreferences.telemetryEnabled", "yes", true},
      {"TelemetryPreferences.telemetryEnabled", "maybe", fails},
      {"FilesPreferences.indexedFolders", "/a,/b", json::array({"/a", "/b"})},
      {"FilesPreferences.indexedFolders", R"(["/with,comma"])", json::array({"/with,comma"})},
      {"FilesPreferences.indexedFolders", "", json::array()},
      {"FilesPreferences.indexedFolders", "[1,2]", fails},
      {"FilesPreferences.indexedFolders", "[\"unterminated", fails},
      {"int", "42", 42},
      {"int", " -7 ", -7},
      {"int", "4.2", fails},
      {"int", "99999999999999999999", fails},
      {"double", "2.5", 2.5},
      {"double", "nan", fails},
      {"double", "", fails},
      {"date", "1733400000", date},
      {"date", "2024-12-05T12:00:00Z", date},
      {"date", "yesterday", fails},
      {"string", " spaced ", " spaced "},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.keyOrType) + " <- '" + k.text + "'");
    const auto* desc = findKnownPreference(k.keyOrType);
    auto r = desc ? parsePreferenceValue(*desc, k.text)
                  : parseTypedValue(k.text, preferenceValueTypeFromName(k.keyOrType).value());
    if (!k.expected.is_discarded()) {
      ASSERT_TRUE(r.ok()) << r.error().description();
      EXPECT_EQ(r.value(), k.expected);
    } else {
      ASSERT_TRUE(testing::failsWith(r, k.error)) << r.error().description();
    }
  }
  EXPECT_EQ(preferenceValueTypeFromName("array").value(), PreferenceValueType::stringArray);
  EXPECT_FALSE(preferenceValueTypeFromName("float").ok());
}

TEST(KnownPreferencesTest, RandomTextNeverCrashesAnyParser) {
  std::mt19937 rng(7);
  const std::string alphabet = "[]{}\",:0123456789.-+eEtruefalsTZ \t\n\\/\xff";
  for (int i = 0; i < 3000; ++i) {
    std::string text;
    int len = std::uniform_int_distribution<int>(0, 24)(rng);
    for (int k = 0; k < len; ++k) text.push_back(alphabet[rng() % alphabet.size()]);
    for (auto type : {PreferenceValueType::boolean, PreferenceValueType::integer, PreferenceValueType::real,
                      PreferenceValueType::string, PreferenceValueType::stringArray, PreferenceValueType::date}) {
      auto r = parseTypedValue(text, type);
      if (r.ok()) {
        EXPECT_FALSE(r.value().is_discarded());
      } else {
        EXPECT_FALSE(r.error().description().empty());
      }
    }
    for (const auto& d : knownPreferences()) {
      auto r = parsePreferenceValue(d, text);
      if (r.ok() && !d.allowedValues.empty()) {
        EXPECT_NE(std::find(d.allowedValues.begin(), d.allowedValues.end(), r.value()), d.allowedValues.end());
      }
    }
  }
}

// `defaults write` refuses keys nothing reads and names the one meant.
TEST(KnownPreferencesTest, UnknownKeysSuggestTheKeyMeant) {
  // The wrong case, a missing plural and a property under the wrong object
  // are also checked through `pallix defaults` (prefs_cli_test.sh).
  struct Case {
    const char* typed;
    const char* meant;  // nullptr: nothing close
  };
  const Case cases[] = {
      {"IndexingService.indexedFolders", "FilesPreferences.indexedFolders"},
      {"ClipboardPreferences.retentionDay", "ClipboardPreferences.retentionDays"},
      {"TelemetryPrefs.telemetryEnabled", "TelemetryPreferences.telemetryEnabled"},
      {"Other.count", nullptr},
      {"x", nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(findKnownKey(c.typed), nullptr) << c.typed;
    const PreferenceDescriptor* suggested = suggestKnownKey(c.typed);
    EXPECT_EQ(suggested ? suggested->key : "(none)", c.meant ? c.meant : "(none)") << c.typed;
  }
  for (const auto& d : knownStoredKeys()) {
    EXPECT_EQ(findKnownPreference(d.key), nullptr) << d.key;
    EXPECT_EQ(findKnownKey(d.key), &d);
  }
  // The two folder lists point at each other.
  const auto* semantic = findKnownKey("FilesPreferences.indexedFolders");
  const auto* catalog = findKnownKey("IndexingService.fileDirectories");
  ASSERT_TRUE(semantic && catalog);
  EXPECT_NE(semantic->note.find(catalog->key), std::string::npos);
  EXPECT_NE(catalog->note.find(semantic->key), std::string::npos);
}

}  // namespace
}  // namespace pallix
