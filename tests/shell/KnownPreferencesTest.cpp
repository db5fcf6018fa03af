// The key catalogue used by the command line: agreement with the preference
// objects, and parsing of command-line values.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "PreferencesTestSupport.h"
#include "app/shell/KnownPreferences.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using nlohmann::json;

using test::loadedByObjects;

TEST(KnownPreferencesTest, CatalogueCoversEveryKeyOnceWithTheObjectPrefix) {
  std::set<std::string> keys;
  UserDefaults empty;
  auto loaded = loadedByObjects(empty);
  for (const auto& d : knownPreferences()) {
    EXPECT_TRUE(keys.insert(d.key).second) << d.key;
    EXPECT_EQ(d.key.rfind(d.object + ".", 0), 0u) << d.key;
    EXPECT_EQ(findKnownPreference(d.key), &d);
    ASSERT_TRUE(loaded.count(d.key)) << d.key;
    EXPECT_EQ(loaded.at(d.key), d.defaultValue) << d.key;
  }
  EXPECT_EQ(keys.size(), loaded.size());
  EXPECT_EQ(findKnownPreference("ClipboardPreferences.maxItemCount"), nullptr);
}

// Random stored values (right and wrong types, allowed and unknown raw
// values): the catalogue's effective value must equal what the objects load.
TEST(KnownPreferencesTest, EffectiveValuesAgreeWithTheObjectsOnRandomStores) {
  std::mt19937 rng(20261205);
  std::vector<json> pool = {true,
                            false,
                            0,
                            1,
                            7,
                            14,
                            30,
                            -3,
                            2.5,
                            "",
                            "user",
                            "system",
                            "cpuNe",
                            "gpu",
                            "all",
                            "bge-m3",
                            "bge-small",
                            "low",
                            "maximum",
                            "balanced",
                            "always",
                            "topLeading",
                            "bottomCenter",
                            json::array(),
                            json::array({"/a", "/b"}),
                            json::array({"/a", 3}),
                            json::object(),
                            nullptr};
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
    auto loaded = loadedByObjects(d);
    for (const auto& desc : knownPreferences()) {
      ASSERT_EQ(effectivePreferenceValue(desc, d), loaded.at(desc.key))
          << desc.key << " stored " << d.rawValue(desc.key).value_or("absent").dump();
    }
  }
}

TEST(KnownPreferencesTest, ModelRawValueTablesMatchTheEmbeddingEnumerations) {
  for (size_t i = 0; i < kEmbeddingModelRawValues.size(); ++i) {
    EXPECT_EQ(kEmbeddingModelRawValues[i], rawValue(static_cast<EmbeddingModel>(i)));
  }
  EXPECT_EQ(kEmbeddingModelRawValues.size(), allEmbeddingModels().size());
  for (size_t i = 0; i < kEmbeddingComputeUnitsRawValues.size(); ++i) {
    EXPECT_EQ(kEmbeddingComputeUnitsRawValues[i], rawValue(static_cast<EmbeddingComputeUnits>(i)));
  }
  EXPECT_EQ(kEmbeddingComputeUnitsRawValues.size(), allComputeUnits().size());
}

// A parse case: the text, and either the value it gives or (discarded) a
// failure whose message contains `error`.
struct ParseCase {
  const char* key;
  const char* text;
  json expected;
  const char* error = "";
};

TEST(KnownPreferencesTest, ParsingPreferenceValuesValidatesTypeAndAllowedValues) {
  const json fails = json(json::value_t::discarded);
  const ParseCase cases[] = {
      {"FilesPreferences.searchScope", "system", "system"},
      {"FilesPreferences.searchScope", "everywhere", fails, "user, system"},
      {"ClipboardPreferences.retentionDays", "0", 0},
      {"ClipboardPreferences.retentionDays", "14", fails, "1, 7, 30, 0"},
      {"ClipboardPreferences.retentionDays", "week", fails, "int"},
      {"TelemetryPreferences.telemetryEnabled", "NO", false},
      {"TelemetryPreferences.telemetryEnabled", "yes", true},
      {"TelemetryPreferences.telemetryEnabled", "maybe", fails},
      {"FilesPreferences.indexedFolders", "/a,/b", json::array({"/a", "/b"})},
      {"FilesPreferences.indexedFolders", R"(["/with,comma"])", json::array({"/with,comma"})},
      {"FilesPreferences.indexedFolders", "", json::array()},
      {"FilesPreferences.indexedFolders", "[1,2]", fails},
      {"FilesPreferences.indexedFolders", "[\"unterminated", fails},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.key) + " <- '" + k.text + "'");
    const auto* desc = findKnownPreference(k.key);
    ASSERT_NE(desc, nullptr);
    auto r = parsePreferenceValue(*desc, k.text);
    if (!k.expected.is_discarded()) {
      ASSERT_TRUE(r.ok()) << r.error().description();
      EXPECT_EQ(r.value(), k.expected);
    } else {
      ASSERT_TRUE(testing::failsWith(r, k.error)) << r.error().description();
    }
  }
}

TEST(KnownPreferencesTest, TypedValuesParseTheirTextForms) {
  using T = PreferenceValueType;
  const json fails = json(json::value_t::discarded);
  const json date = {{"$date", 1733400000.0}};
  const std::tuple<const char*, T, json> cases[] = {
      {"42", T::integer, 42},
      {" -7 ", T::integer, -7},
      {"4.2", T::integer, fails},
      {"99999999999999999999", T::integer, fails},
      {"2.5", T::real, 2.5},
      {"nan", T::real, fails},
      {"", T::real, fails},
      {"1733400000", T::date, date},
      {"2024-12-05T12:00:00Z", T::date, date},
      {"yesterday", T::date, fails},
      {" spaced ", T::string, " spaced "},
  };
  for (const auto& [text, type, expected] : cases) {
    auto r = parseTypedValue(text, type);
    ASSERT_EQ(r.ok(), !expected.is_discarded()) << "'" << text << "' as " << static_cast<int>(type);
    if (r.ok()) {
      EXPECT_EQ(r.value(), expected) << "'" << text << "'";
    }
  }
  EXPECT_EQ(preferenceValueTypeFromName("array").value(), T::stringArray);
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
  struct Case {
    const char* typed;
    const char* meant;  // nullptr: nothing close
  };
  const Case cases[] = {
      {"filespreferences.searchenabled", "FilesPreferences.searchEnabled"},
      {"FilesPreferences.indexedFolder", "FilesPreferences.indexedFolders"},
      {"IndexingService.indexedFolders", "FilesPreferences.indexedFolders"},
      {"FilesPreferences.fileDirectories", "IndexingService.fileDirectories"},
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
