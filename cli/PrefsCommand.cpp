// pallix prefs / pallix defaults: the effective preferences and the raw
// user-defaults store under the data directory (PALLIX_HOME honoured).
#include <iostream>
#include <map>

#include "app/platform/DataDirectories.h"
#include "app/shell/KnownPreferences.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "core/Strings.h"
#include "core/UserDefaults.h"

namespace pallix::cli {
namespace {

// Opens the store; a corrupt file is set aside by the store itself and the
// reason is printed so the user knows why the settings are back to defaults.
std::unique_ptr<UserDefaults> openDefaults() {
  auto defaults = std::make_unique<UserDefaults>(DataDirectories::fromEnvironment().defaultsPath());
  if (defaults->loadError()) printError(defaults->loadError()->description());
  return defaults;
}

// A stored value as JSON: text that is not UTF-8 in the settings file's own
// lossless form ({"$bytes": ...}).
nlohmann::json storedJson(const nlohmann::json& value) {
  return UserDefaults::storedForm(value).valueOr(value);
}

std::string jsonText(const nlohmann::json& value) {
  return printable(storedJson(value).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

// A value as a person reads it: strings bare, anything else as JSON; escaped.
std::string display(const nlohmann::json& value) {
  return value.is_string() ? printable(value.get<std::string>()) : jsonText(value);
}

// The hint for a key nothing reads: the key the user probably meant.
std::string unknownKeyHint(const std::string& key, const std::string& action) {
  std::string hint;
  if (const auto* meant = suggestKnownKey(key)) hint = "Did you mean " + meant->key + "? ";
  return hint + "'pallix prefs' lists the preferences" + action;
}

int runPrefs(Args& args) {
  bool json = args.flag("--json");
  auto rest = args.positionals();
  if (args.failed()) return usageError("prefs", args.failure());
  if (!rest.empty()) return usageError("prefs", "takes no arguments");
  auto defaults = openDefaults();
  nlohmann::json out = nlohmann::json::object();
  std::string currentObject;
  for (const auto& d : knownPreferences()) {
    nlohmann::json value = effectivePreferenceValue(d, *defaults);
    bool isDefault = value == d.defaultValue;
    // A stored value of the wrong type or outside the allowed values is ignored.
    auto stored = defaults->rawValue(d.key);
    bool ignored = stored && *stored != value;
    std::string name = d.key.substr(d.object.size() + 1);
    if (json) {
      out[d.object][name] = {{"key", d.key},
                             {"value", value},
                             {"default", d.defaultValue},
                             {"isDefault", isDefault},
                             {"type", preferenceValueTypeName(d.type)}};
      if (ignored) out[d.object][name]["ignoredStoredValue"] = *stored;
      if (!d.note.empty()) out[d.object][name]["note"] = d.note;
      continue;
    }
    if (d.object != currentObject) {
      if (!currentObject.empty()) std::cout << "\n";
      std::cout << d.object << "\n";
      currentObject = d.object;
    }
    std::string line = (isDefault ? "  " : "* ") + name;
    line.resize(std::max<size_t>(line.size() + 1, 28), ' ');
    line += display(value);
    if (!isDefault) line += "   (default: " + display(d.defaultValue) + ")";
    if (ignored) line += "   (stored " + jsonText(*stored) + " ignored)";
    std::cout << line << "\n";
    if (!d.note.empty()) std::cout << "      " << d.note << " ('pallix folders')\n";
  }
  // Where the network sources send their requests: keys of their own
  // services, not of a preference object, listed here so they can be found.
  bool headed = false;
  for (const auto& d : knownStoredKeys()) {
    if (!endsWith(d.key, ".baseURL") && !endsWith(d.key, ".webOrigin")) continue;
    auto stored = defaults->stringValue(d.key);
    const bool isDefault = !stored || stored->empty();
    const nlohmann::json value = isDefault ? d.defaultValue : nlohmann::json(*stored);
    if (json) {
      out["endpoints"][d.key] = {{"value", value}, {"default", d.defaultValue}, {"isDefault", isDefault}};
      if (!d.note.empty()) out["endpoints"][d.key]["note"] = d.note;
      continue;
    }
    if (!headed) std::cout << "\nEndpoints\n";
    headed = true;
    std::string line = (isDefault ? "  " : "* ") + d.key;
    line.resize(std::max<size_t>(line.size() + 1, 38), ' ');
    line += value.is_null() ? std::string("(none)") : display(value);
    std::cout << line << "\n";
    if (!d.note.empty()) std::cout << "      " << d.note << "\n";
  }
  if (json) {
    printJson(out);
  } else {
    std::cout << "\n* differs from the default. Change a value with 'pallix defaults write KEY VALUE'.\n";
  }
  return kExitOk;
}

int defaultsRead(Args& args, bool json, const std::vector<std::string>& rest) {
  if (rest.size() > 2) return usageError("defaults", "read takes at most one KEY");
  auto defaults = openDefaults();
  if (rest.size() == 1) {
    nlohmann::json all = nlohmann::json::object();
    for (const auto& key : defaults->keys()) all[key] = *defaults->rawValue(key);
    if (json) {
      printJson(storedJson(all));
    } else {
      for (auto it = all.begin(); it != all.end(); ++it) {
        std::cout << printable(it.key()) << " = " << jsonText(it.value()) << "\n";
      }
    }
    return kExitOk;
  }
  const std::string& key = rest[1];
  auto value = defaults->rawValue(key);
  if (!value) {
    std::string hint;
    if (const auto* known = findKnownPreference(key)) {
      hint = "Not set; the preference uses its default " + known->defaultValue.dump() + ".";
    } else if (!findKnownKey(key)) {
      hint = "No part of Pallix reads this key. " + unknownKeyHint(key, ".");
    }
    printError("no value for " + key, hint);
    return kExitFailure;
  }
  if (json) {
    printJson(storedJson(*value));
  } else {
    std::cout << display(*value) << "\n";
  }
  (void)args;
  return kExitOk;
}

PreferenceValueType inferType(const std::string& text) {
  for (auto type : {PreferenceValueType::boolean, PreferenceValueType::integer, PreferenceValueType::real}) {
    if (type == PreferenceValueType::boolean && text != "true" && text != "false") continue;
    if (parseTypedValue(text, type).ok()) return type;
  }
  return PreferenceValueType::string;
}

int defaultsWrite(const std::optional<std::string>& typeName, bool force, const std::vector<std::string>& rest) {
  if (rest.size() < 3) return usageError("defaults", "write needs KEY and VALUE");
  const std::string& key = rest[1];
  const PreferenceDescriptor* known = findKnownKey(key);
  if (!known && !force) {
    printError("defaults: no part of Pallix reads " + key + "; nothing written",
               unknownKeyHint(key, "; --force writes the key anyway."));
    return kExitUsage;
  }
  std::optional<PreferenceValueType> type;
  if (typeName) {
    auto parsed = preferenceValueTypeFromName(*typeName);
    if (!parsed.ok()) return usageError("defaults", parsed.error().description());
    type = parsed.value();
  }
  if (known && type && *type != known->type) {
    return usageError("defaults", key + " is a " + preferenceValueTypeName(known->type) + " preference, not " +
                                      preferenceValueTypeName(*type));
  }
  PreferenceValueType effectiveType = known ? known->type : type.value_or(inferType(rest[2]));
  if (rest.size() > 3 && effectiveType != PreferenceValueType::stringArray) {
    return usageError("defaults", "write takes one VALUE (several only for --type array)");
  }
  nlohmann::json value;
  if (rest.size() > 3) {
    value = nlohmann::json(std::vector<std::string>(rest.begin() + 2, rest.end()));
  } else {
    auto parsed = known ? parsePreferenceValue(*known, rest[2]) : parseTypedValue(rest[2], effectiveType);
    if (!parsed.ok()) return usageError("defaults", parsed.error().description());
    value = std::move(parsed.value());
  }
  auto defaults = openDefaults();
  Status written = defaults->setRaw(key, value);
  if (!written.ok()) {
    printError("cannot write " + key + ": " + written.error().description(),
               "Check that " + defaults->path() + " is writable.");
    return exitStatusFor(written.error());
  }
  return kExitOk;
}

int defaultsDelete(const std::vector<std::string>& rest) {
  if (rest.size() != 2) return usageError("defaults", "delete needs exactly one KEY");
  auto defaults = openDefaults();
  if (!defaults->contains(rest[1])) {
    printError("no value for " + rest[1], "Nothing to delete.");
    return kExitFailure;
  }
  Status removed = defaults->remove(rest[1]);
  if (!removed.ok()) {
    printError("cannot delete " + rest[1] + ": " + removed.error().description());
    return exitStatusFor(removed.error());
  }
  return kExitOk;
}

int runDefaults(Args& args) {
  bool json = args.flag("--json");
  bool force = args.flag("--force");
  auto typeName = args.option("--type");
  auto rest = args.positionals();
  if (args.failed()) return usageError("defaults", args.failure());
  if (rest.empty()) return usageError("defaults", "needs read, write or delete");
  const std::string& verb = rest[0];
  if (verb == "read") {
    if (typeName || force) return usageError("defaults", "--type and --force apply to write only");
    return defaultsRead(args, json, rest);
  }
  if (json) return usageError("defaults", "--json applies to read only");
  if (verb == "write") return defaultsWrite(typeName, force, rest);
  if (typeName || force) return usageError("defaults", "--type and --force apply to write only");
  if (verb == "delete") return defaultsDelete(rest);
  return usageError("defaults", "unknown action " + inQuotes(verb) + "; use read, write or delete");
}

}  // namespace

PALLIX_COMMAND("prefs", "show every preference's effective value",
               "Usage: pallix prefs [--json]\n\n"
               "Shows every preference, grouped by its preference object, with the value Pallix uses:\n"
               "the stored value, or the default when it is absent, of the wrong type or not allowed.\n"
               "Values that differ from the default are marked with '*'.\n\n"
               "FilesPreferences.indexedFolders are the semantic search folders (file contents indexed for\n"
               "search by meaning). The catalog folders searched by name are another list,\n"
               "IndexingService.fileDirectories, shown and edited by 'pallix folders'.\n"
               "Endpoints lists where the network sources send their requests (the *.baseURL keys).\n"
               "PALLIX_HOME overrides the home folder.\n",
               runPrefs);

PALLIX_COMMAND("defaults", "read, write or delete user-defaults keys",
               "Usage: pallix defaults read [KEY] [--json]\n"
               "       pallix defaults write KEY VALUE... [--type bool|int|double|string|array|date] [--force]\n"
               "       pallix defaults delete KEY\n\n"
               "read      prints one key's stored value, or every stored key; exit 1 when KEY is not set.\n"
               "write     stores VALUE under KEY. For a preference key the type is the preference's own and\n"
               "          the value must be one it accepts (enumerations: their raw values). A key that no\n"
               "          part of Pallix reads is refused (the hint names the likely key) unless --force is\n"
               "          given; it then takes --type, or a type inferred from VALUE. Arrays: several VALUEs,\n"
               "          a comma-separated list or a JSON array. Dates: seconds since 1970 or\n"
               "          YYYY-MM-DDTHH:MM:SSZ.\n"
               "          FilesPreferences.indexedFolders are the semantic search folders;\n"
               "          IndexingService.fileDirectories the catalog folders ('pallix folders' edits them).\n"
               "delete    removes KEY; exit 1 when it is not set.\n\n"
               "Exit codes: 0 done, 1 missing key or write failure, 2 usage error or unknown key.\n"
               "PALLIX_HOME overrides the home folder.\n",
               runDefaults);

}  // namespace pallix::cli
