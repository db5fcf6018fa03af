// KnownPreferences: a read-only catalogue of every key the seven preference
// objects own, with its type, default and allowed values, and of the other
// keys that components keep in the same store (the catalog's folders, scan
// times). The command-line tools use it to show effective values, to
// validate writes and to refuse keys that nothing reads; the preference
// objects remain the authority at run time (tests check that the two agree).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/Error.h"
#include "core/UserDefaults.h"

namespace pallix {

enum class PreferenceValueType { boolean, integer, real, string, stringArray, date };

// "bool", "int", "double", "string", "array", "date".
const char* preferenceValueTypeName(PreferenceValueType type);
Result<PreferenceValueType> preferenceValueTypeFromName(std::string_view name);

struct PreferenceDescriptor {
  std::string object;  // "FilesPreferences"
  std::string key;     // "FilesPreferences.searchEnabled"
  PreferenceValueType type;
  nlohmann::json defaultValue;
  // For enumerations and retention days: the only accepted values, in case order.
  std::vector<nlohmann::json> allowedValues;
  // What the key is, where it is easily taken for another one.
  std::string note = {};
  // For integers: the accepted range (a value outside it reads as the default).
  std::optional<std::pair<int64_t, int64_t>> range = {};
};

// Every preference key, grouped by object in the order of the settings.
const std::vector<PreferenceDescriptor>& knownPreferences();
// nullptr for a key that no preference object owns.
const PreferenceDescriptor* findKnownPreference(std::string_view key);
// Keys other components own in the same store. Their defaults are computed
// by their owners (null here).
const std::vector<PreferenceDescriptor>& knownStoredKeys();
// A preference or another known key; nullptr for a key nothing reads.
const PreferenceDescriptor* findKnownKey(std::string_view key);
// The known key a user most likely meant by `key`: the same key in another
// case, the same property name under another object, or a near spelling.
// nullptr when none is close.
const PreferenceDescriptor* suggestKnownKey(std::string_view key);

// The value a preference object would load for `descriptor` from `defaults`:
// the stored value, or the default when it is absent, of the wrong type or
// not an allowed value.
nlohmann::json effectivePreferenceValue(const PreferenceDescriptor& descriptor, const UserDefaults& defaults);

// Parses command-line text as a value of `type`. Booleans accept
// true/false/yes/no/1/0; arrays a JSON array of strings or a comma-separated
// list; dates seconds since 1970 or "YYYY-MM-DDTHH:MM:SSZ" (stored as
// {"$date": seconds}).
Result<nlohmann::json> parseTypedValue(std::string_view text, PreferenceValueType type);
// Parses and validates text for a known preference; the message of a
// rejected value names the allowed values.
Result<nlohmann::json> parsePreferenceValue(const PreferenceDescriptor& descriptor, std::string_view text);

}  // namespace pallix
