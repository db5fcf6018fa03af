// The key catalogue used by the command line: agreement with the preference
// objects, and parsing of command-line values.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "app/shell/AppDisplayPreferences.h"
#include "app/shell/ClipboardPreferences.h"
#include "app/shell/DataSourcePreferences.h"
#include "app/shell/FilesPreferences.h"
#include "app/shell/IntelligencePreferences.h"
#include "app/shell/KnownPreferences.h"
#include "app/shell/MessagesPreferences.h"
#include "app/shell/TelemetryPreferences.h"

namespace pallix {
namespace {

using nlohmann::json;

// What the preference objects load from `d`, as key → JSON value.
std::map<std::string, json> loadedByObjects(UserDefaults& d) {
  NotificationCenter center;
  FilesPreferences f(d, center);
  MessagesPreferences m(d, center);
  IntelligencePreferences i(d, center);
  ClipboardPreferences c(d, center);
  DataSourcePreferences s(d, center);
  AppDisplayPreferences a(d, center);
  TelemetryPreferences t(d, center);
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
  EXPECT_EQ(keys.size(), 25u);
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

TEST(KnownPreferencesTest, ParsingPreferenceValuesValidatesTypeAndAllowedValues) {
  const auto* scope = findKnownPreference("FilesPreferences.searchScope");
  ASSERT_NE(scope, nullptr);
  EXPECT_EQ(parsePreferenceValue(*scope, "system").value(), json("system"));
  auto bad = parsePreferenceValue(*scope, "everywhere");
  ASSERT_FALSE(bad.ok());
  EXPECT_NE(bad.error().description().find("user, system"), std::string::npos) << bad.error().description();

  const auto* retention = findKnownPreference("ClipboardPreferences.retentionDays");
  EXPECT_EQ(parsePreferenceValue(*retention, "0").value(), json(0));
  auto fourteen = parsePreferenceValue(*retention, "14");
  ASSERT_FALSE(fourteen.ok());
  EXPECT_NE(fourteen.error().description().find("1, 7, 30, 0"), std::string::npos);
  auto word = parsePreferenceValue(*retention, "week");
  ASSERT_FALSE(word.ok());
  EXPECT_NE(word.error().description().find("int"), std::string::npos);

  const auto* enabled = findKnownPreference("TelemetryPreferences.telemetryEnabled");
  EXPECT_EQ(parsePreferenceValue(*enabled, "NO").value(), json(false));
  EXPECT_EQ(parsePreferenceValue(*enabled, "yes").value(), json(true));
  EXPECT_FALSE(parsePreferenceValue(*enabled, "maybe").ok());

  const auto* folders = findKnownPreference("FilesPreferences.indexedFolders");
  EXPECT_EQ(parsePreferenceValue(*folders, "/a,/b").value(), json::array({"/a", "/b"}));
  EXPECT_EQ(parsePreferenceValue(*folders, R"(["/with,comma"])").value(), json::array({"/with,comma"}));
  EXPECT_EQ(parsePreferenceValue(*folders, "").value(), json::array());
  EXPECT_FALSE(parsePreferenceValue(*folders, "[1,2]").ok());
  EXPECT_FALSE(parsePreferenceValue(*folders, "[\"unterminated").ok());
}

TEST(KnownPreferencesTest, TypedValuesParseTheirTextForms) {
  EXPECT_EQ(parseTypedValue("42", PreferenceValueType::integer).value(), json(42));
  EXPECT_EQ(parseTypedValue(" -7 ", PreferenceValueType::integer).value(), json(-7));
  EXPECT_FALSE(parseTypedValue("4.2", PreferenceValueType::integer).ok());
  EXPECT_FALSE(parseTypedValue("99999999999999999999", PreferenceValueType::integer).ok());
  EXPECT_EQ(parseTypedValue("2.5", PreferenceValueType::real).value(), json(2.5));
  EXPECT_FALSE(parseTypedValue("nan", PreferenceValueType::real).ok());
  EXPECT_FALSE(parseTypedValue("", PreferenceValueType::real).ok());
  EXPECT_EQ(parseTypedValue("1733400000", PreferenceValueType::date).value(), (json{{"$date", 1733400000.0}}));
  EXPECT_EQ(parseTypedValue("2024-12-05T12:00:00Z", PreferenceValueType::date).value(),
            (json{{"$date", 1733400000.0}}));
  EXPECT_FALSE(parseTypedValue("yesterday", PreferenceValueType::date).ok());
  EXPECT_EQ(parseTypedValue(" spaced ", PreferenceValueType::string).value(), json(" spaced "));
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

}  // namespace
}  // namespace pallix
