#include "app/platform/DesktopEntry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {
namespace {

constexpr const char* kDomain = "DesktopEntryError";
enum DesktopEntryErrorCode {
  kUnreadable = 1,
  kNotUtf8 = 2,
  kMalformedLine = 3,
  kMissingGroup = 4,
  kMissingName = 5,
  kBadBoolean = 6,
  kTooLarge = 7,
  kSpecialFile = 8,
};
// Real desktop files are a few kilobytes; anything far larger is not one.
constexpr uint64_t kMaximumFileSize = 1 << 20;

bool isKeyChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// A key is [A-Za-z0-9-]+ optionally followed by a locale in brackets;
// `baseLength` is the length of the part before the bracket.
bool isValidKey(std::string_view key, bool* localized, size_t* baseLength) {
  size_t i = 0;
  while (i < key.size() && isKeyChar(key[i])) ++i;
  if (i == 0) return false;
  *localized = false;
  *baseLength = i;
  if (i == key.size()) return true;
  if (key[i] != '[' || key.back() != ']' || key.size() - i < 3) return false;
  for (size_t k = i + 1; k + 1 < key.size(); ++k) {
    char c = key[k];
    if (c == '[' || c == ']' || c == '=' || c == ' ') return false;
  }
  *localized = true;
  return true;
}

// Decodes \s \n \t \r \\ (and, in lists, \; which stays a literal semicolon).
// Other escapes are kept as written.
std::string unescapeValue(std::string_view raw, bool list) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c != '\\' || i + 1 == raw.size()) {
      out += c;
      continue;
    }
    char next = raw[++i];
    switch (next) {
      case 's':
        out += ' ';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '\\':
        out += '\\';
        break;
      case ';':
        if (list) {
          out += ';';
        } else {
          out += "\\;";
        }
        break;
      default:
        out += '\\';
        out += next;
    }
  }
  return out;
}

std::vector<std::string> splitList(std::string_view raw) {
  std::vector<std::string> items;
  std::string current;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 1 < raw.size()) {
      current += raw[i];
      current += raw[++i];
      continue;
    }
    if (raw[i] == ';') {
      if (!current.empty()) items.push_back(unescapeValue(current, true));
      current.clear();
      continue;
    }
    current += raw[i];
  }
  if (!current.empty()) items.push_back(unescapeValue(current, true));
  return items;
}

std::string normalizeDirectory(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

bool isSpecialFileDesktopEntryError(const Error& error) {
  return error.domain() == kDomain && error.code() == kSpecialFile;
}

Result<DesktopEntry> parseDesktopEntry(const std::string& path, const std::string& id, const DesktopLocale& locale) {
  auto contents = readRegularFile(path, kMaximumFileSize);
  if (!contents.ok()) {
    if (isFileError(contents.error(), FileErrorCode::tooLarge)) {
      return Error(kDomain, kTooLarge,
                   stringPrintf("Desktop entry %s is too large (more than %llu bytes)", path.c_str(),
                                static_cast<unsigned long long>(kMaximumFileSize)));
    }
    if (isFileError(contents.error(), FileErrorCode::notRegularFile)) {
      return Error(kDomain, kSpecialFile, "Cannot read desktop entry: " + contents.error().description());
    }
    return Error(kDomain, kUnreadable, "Cannot read desktop entry: " + contents.error().description());
  }
  return parseDesktopEntryText(contents.value(), path, id, locale);
}

Result<DesktopEntry> parseDesktopEntryText(const std::string& text, const std::string& path, const std::string& id,
                                           const DesktopLocale& locale) {
  if (!isValidUtf8(text)) return Error(kDomain, kNotUtf8, "Desktop entry " + path + " is not valid UTF-8");

  auto fail = [&](int code, size_t lineNumber, const std::string& what) {
    return Error(kDomain, code,
                 stringPrintf("Invalid desktop entry %s, line %zu: %s", path.c_str(), lineNumber, what.c_str()));
  };

  std::map<std::string, std::string> values;  // [Desktop Entry] keys, raw (escaped) values
  // Localized keys: (key, locale) to raw value.
  std::map<std::pair<std::string, std::string>, std::string> localizedValues;
  bool sawMainGroup = false;
  bool inMainGroup = false;
  bool anyGroup = false;
  size_t lineNumber = 0;
  for (const std::string& rawLine : splitString(text, '\n')) {
    ++lineNumber;
    std::string_view line = rawLine;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view trimmed = trimWhitespace(line);
    if (trimmed.empty() || trimmed.front() == '#') continue;
    if (trimmed.front() == '[') {
      if (trimmed.back() != ']' || trimmed.size() < 3)
        return fail(kMalformedLine, lineNumber, "unterminated group header");
      std::string_view group = trimmed.substr(1, trimmed.size() - 2);
      if (group.find_first_of("[]") != std::string_view::npos) {
        return fail(kMalformedLine, lineNumber, "invalid group name \"" + std::string(group) + "\"");
      }
      anyGroup = true;
      inMainGroup = group == "Desktop Entry";
      if (inMainGroup && sawMainGroup) return fail(kMalformedLine, lineNumber, "duplicate [Desktop Entry] group");
      sawMainGroup = sawMainGroup || inMainGroup;
      continue;
    }
    size_t equals = trimmed.find('=');
    if (!anyGroup) return fail(kMissingGroup, lineNumber, "entry before the first group header");
    if (!inMainGroup) continue;  // other groups (actions) are not read
    if (equals == std::string_view::npos) {
      return fail(kMalformedLine, lineNumber, "expected key=value, got \"" + std::string(trimmed.substr(0, 60)) + "\"");
    }
    std::string_view key = trimWhitespace(trimmed.substr(0, equals));
    std::string_view value = trimWhitespace(trimmed.substr(equals + 1));
    bool localized = false;
    size_t baseLength = 0;
    if (!isValidKey(key, &localized, &baseLength))
      return fail(kMalformedLine, lineNumber, "invalid key \"" + std::string(key) + "\"");
    // The first of duplicated keys wins.
    if (localized) {
      localizedValues.emplace(std::pair(std::string(key.substr(0, baseLength)),
                                        std::string(key.substr(baseLength + 1, key.size() - baseLength - 2))),
                              std::string(value));
    } else {
      values.emplace(std::string(key), std::string(value));
    }
  }
  if (!sawMainGroup) return Error(kDomain, kMissingGroup, "Desktop entry " + path + " has no [Desktop Entry] group");

  const std::vector<std::string> localeCandidates = locale.candidates();
  // The raw value of `key` for the locale, else unlocalized.
  auto raw = [&](const char* key, bool localizable) -> const std::string* {
    if (localizable) {
      for (const std::string& candidate : localeCandidates) {
        auto it = localizedValues.find(std::pair(std::string(key), candidate));
        if (it != localizedValues.end()) return &it->second;
      }
    }
    auto it = values.find(key);
    return it == values.end() ? nullptr : &it->second;
  };
  auto string = [&](const char* key, bool localizable = false) -> std::optional<std::string> {
    const std::string* value = raw(key, localizable);
    if (!value) return std::nullopt;
    return unescapeValue(*value, false);
  };
  auto list = [&](const char* key, bool localizable = false) {
    const std::string* value = raw(key, localizable);
    return value ? splitList(*value) : std::vector<std::string>{};
  };
  auto boolean = [&](const char* key, bool* out) -> Status {
    auto it = values.find(key);
    if (it == values.end()) return okStatus();
    if (it->second == "true" || it->second == "1") {
      *out = true;
    } else if (it->second == "false" || it->second == "0") {
      *out = false;
    } else {
      return Error(kDomain, kBadBoolean,
                   "Invalid desktop entry " + path + ": " + key + " must be true or false, not \"" + it->second + "\"");
    }
    return okStatus();
  };

  DesktopEntry entry;
  entry.id = id;
  entry.path = path;
  auto name = string("Name");
  if (!name || name->empty()) return Error(kDomain, kMissingName, "Desktop entry " + path + " has no Name");
  entry.untranslatedName = *name;
  auto localizedName = string("Name", true);
  entry.name = localizedName && !localizedName->empty() ? *localizedName : *name;
  if (auto type = string("Type")) entry.type = *type;
  entry.genericName = string("GenericName", true);
  entry.comment = string("Comment", true);
  entry.icon = string("Icon");
  entry.exec = string("Exec");
  entry.tryExec = string("TryExec");
  entry.workingDirectory = string("Path");
  entry.startupWMClass = string("StartupWMClass");
  for (const char* key : {"X-AppVersion", "X-AppImage-Version", "X-Flatpak-Version", "X-GNOME-Bugzilla-Version"}) {
    if ((entry.version = string(key))) break;
  }
  entry.categories = list("Categories");
  entry.keywords = list("Keywords", true);
  PALLIX_RETURN_IF_ERROR(boolean("NoDisplay", &entry.noDisplay));
  PALLIX_RETURN_IF_ERROR(boolean("Hidden", &entry.hidden));
  PALLIX_RETURN_IF_ERROR(boolean("Terminal", &entry.terminal));
  return entry;
}

DesktopLocale DesktopLocale::parse(std::string_view value) {
  DesktopLocale locale;
  const size_t at = value.find('@');
  if (at != std::string_view::npos) {
    locale.modifier = std::string(value.substr(at + 1));
    value = value.substr(0, at);
  }
  value = value.substr(0, value.find('.'));
  const size_t underscore = value.find('_');
  if (underscore != std::string_view::npos) {
    locale.country = std::string(value.substr(underscore + 1));
    value = value.substr(0, underscore);
  }
  locale.lang = std::string(value);
  if (locale.lang.empty() || locale.lang == "C" || locale.lang == "POSIX") return DesktopLocale{};
  return locale;
}

DesktopLocale DesktopLocale::fromEnvironment() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value && *value) return parse(value);
  }
  return {};
}

std::vector<std::string> DesktopLocale::candidates() const {
  if (lang.empty()) return {};
  std::vector<std::string> out;
  if (!country.empty() && !modifier.empty()) out.push_back(lang + "_" + country + "@" + modifier);
  if (!country.empty()) out.push_back(lang + "_" + country);
  if (!modifier.empty()) out.push_back(lang + "@" + modifier);
  out.push_back(lang);
  return out;
}

bool isTryExecInstalled(const DesktopEntry& entry, std::string_view searchPath) {
  if (!entry.tryExec || entry.tryExec->empty()) return true;
  auto isExecutableFile = [](const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
  };
  const std::string& program = *entry.tryExec;
  if (program.front() == '/') return isExecutableFile(program);
  for (const std::string& directory : splitString(searchPath, ':')) {
    // An empty entry would mean the working directory, which says nothing
    // about what is installed.
    if (!directory.empty() && isExecutableFile(directory + "/" + program)) return true;
  }
  return false;
}

namespace {

int priorityForDataDirectory(const std::string& dataDir, const DataDirectories& dirs) {
  std::string d = normalizeDirectory(dataDir);
  if (d == normalizeDirectory(dirs.userDataHome)) return 5;
  if (d == "/usr/local/share") return 4;
  if (d == "/usr/share") return 3;
  if (d == "/var/lib/flatpak/exports/share" ||
      d == normalizeDirectory(dirs.home) + "/.local/share/flatpak/exports/share" || d == "/var/lib/snapd/desktop") {
    return 2;
  }
  return 1;
}

}  // namespace

std::vector<ApplicationDirectory> desktopApplicationDirectories(const DataDirectories& dirs) {
  std::vector<std::string> dataDirs;
  dataDirs.push_back(dirs.userDataHome);
  for (const auto& d : dirs.systemDataDirs) dataDirs.push_back(d);
  dataDirs.push_back("/var/lib/flatpak/exports/share");
  dataDirs.push_back(dirs.home + "/.local/share/flatpak/exports/share");
  dataDirs.push_back("/var/lib/snapd/desktop");

  std::vector<ApplicationDirectory> out;
  std::set<std::string> seen;
  for (const auto& d : dataDirs) {
    std::string dataDir = normalizeDirectory(d);
    if (dataDir.empty()) continue;
    std::string apps = normalizeDirectory(dataDir + "/applications");
    if (!seen.insert(apps).second) continue;
    out.push_back({apps, priorityForDataDirectory(dataDir, dirs)});
  }
  std::stable_sort(out.begin(), out.end(), [](const ApplicationDirectory& a, const ApplicationDirectory& b) {
    return a.priority > b.priority;
  });
  return out;
}

int desktopEntryDomainPriority(const std::string& path, const DataDirectories& dirs) {
  size_t bestLength = 0;
  int best = 1;
  for (const auto& dir : desktopApplicationDirectories(dirs)) {
    if (path.size() > dir.path.size() + 1 && startsWith(path, dir.path) && path[dir.path.size()] == '/' &&
        dir.path.size() > bestLength) {
      bestLength = dir.path.size();
      best = dir.priority;
    }
  }
  return best;
}

std::string desktopFileIdForPath(const std::string& applicationsDirectory, const std::string& path) {
  std::string base = normalizeDirectory(applicationsDirectory);
  std::string relative = path;
  if (path.size() > base.size() + 1 && startsWith(path, base) && path[base.size()] == '/') {
    relative = path.substr(base.size() + 1);
  } else {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos) relative = path.substr(slash + 1);
  }
  for (char& c : relative) {
    if (c == '/') c = '-';
  }
  return relative;
}

}  // namespace pallix
