#include "app/platform/linux/ThemeIconResolver.h"

#include <dirent.h>
#include <sys/stat.h>

#include <charconv>
#include <climits>
#include <cstdlib>

#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {
namespace {

constexpr const char* kExtensions[] = {".png", ".svg", ".xpm"};
constexpr const char* kGenericFileIcon = "text-x-generic";

using IniGroups = std::map<std::string, std::map<std::string, std::string>>;

// A lenient key-file reader for index.theme and settings.ini: lines that are
// neither groups nor key=value pairs are skipped.
IniGroups parseIni(const std::string& text) {
  IniGroups groups;
  std::string current;
  for (const auto& rawLine : splitString(text, '\n')) {
    std::string_view line = trimWhitespace(rawLine);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      current = std::string(line.substr(1, line.size() - 2));
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string key(trimWhitespace(line.substr(0, equals)));
    groups[current].emplace(key, std::string(trimWhitespace(line.substr(equals + 1))));
  }
  return groups;
}

std::optional<int> parseInt(const std::string& s) {
  int value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::vector<std::string> splitCommaList(const std::string& s) {
  std::vector<std::string> out;
  for (const auto& part : splitString(s, ',')) {
    std::string item(trimWhitespace(part));
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

bool isDirectoryPath(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFilePath(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string envOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

const std::map<std::string, const char*>& iconNamesByExtension() {
  static const std::map<std::string, const char*> byExtension = [] {
    std::map<std::string, const char*> m;
    auto add = [&m](const char* icon, std::initializer_list<const char*> extensions) {
      for (const char* e : extensions) m[e] = icon;
    };
    add("text-x-generic",
        {"txt", "md", "markdown", "rst", "log", "ini", "cfg",  "conf", "toml", "yaml",  "yml",  "json", "xml",
         "c",   "cc", "cpp",      "cxx", "h",   "hpp", "hh",   "m",    "mm",   "swift", "java", "kt",   "go",
         "rs",  "cs", "ts",       "tsx", "jsx", "css", "scss", "sql",  "tex",  "srt",   "vtt"});
    add("text-x-script", {"sh", "bash", "zsh", "fish", "py", "rb", "pl", "js", "php", "lua", "r"});
    add("text-html", {"html", "htm", "xhtml"});
    add("image-x-generic", {"png", "jpg", "jpeg", "gif", "bmp", "tif", "tiff", "webp", "heic", "heif", "svg", "ico",
                            "xpm", "raw", "cr2", "nef", "psd", "avif"});
    add("audio-x-generic", {"mp3", "m4a", "aac", "flac", "wav", "ogg", "oga", "opus", "aiff", "aif", "wma", "mid"});
    add("video-x-generic", {"mp4", "m4v", "mov", "mkv", "avi", "webm", "wmv", "mpg", "mpeg", "ogv", "flv", "3gp"});
    add("package-x-generic", {"zip", "tar", "gz", "tgz", "bz2", "xz", "zst", "7z", "rar", "deb", "rpm", "dmg", "iso",
                              "jar", "apk", "lz", "lzma"});
    add("application-pdf", {"pdf"});
    add("x-office-document", {"doc", "docx", "odt", "rtf", "pages", "epub"});
    add("x-office-spreadsheet", {"xls", "xlsx", "ods", "csv", "tsv", "numbers"});
    add("x-office-presentation", {"ppt", "pptx", "odp", "key"});
    add("font-x-generic", {"ttf", "otf", "woff", "woff2"});
    add("application-x-executable", {"appimage", "exe", "bin", "run"});
    add("application-x-desktop", {"desktop"});
    return m;
  }();
  return byExtension;
}

// The names iconNameForFile gives, which fall back to a plain document icon.
bool isGenericFileIconName(const std::string& name) {
  if (name == "application-x-generic") return true;
  for (const auto& [extension, icon] : iconNamesByExtension()) {
    if (name == icon) return true;
  }
  return false;
}

}  // namespace

bool ThemeIconResolver::ThemeDirectory::matches(int requested) const {
  switch (type) {
    case Type::fixed:
      return requested == size;
    case Type::scalable:
      return minSize <= requested && requested <= maxSize;
    case Type::threshold:
      return size - threshold <= requested && requested <= size + threshold;
  }
  return false;
}

int ThemeIconResolver::ThemeDirectory::distance(int requested) const {
  int low = size, high = size;
  if (type == Type::scalable) {
    low = minSize;
    high = maxSize;
  } else if (type == Type::threshold) {
    low = size - threshold;
    high = size + threshold;
  }
  if (requested < low) return low - requested;
  if (requested > high) return requested - high;
  return 0;
}

std::string ThemeIconResolver::themeNameFromEnvironment(const DataDirectories& dirs) {
  std::string fromEnv = envOrEmpty("PALLIX_ICON_THEME");
  if (!fromEnv.empty()) return fromEnv;
  std::string config = envOrEmpty("XDG_CONFIG_HOME");
  if (config.empty() || !envOrEmpty("PALLIX_HOME").empty()) config = dirs.home + "/.config";
  for (const char* gtk : {"gtk-4.0", "gtk-3.0"}) {
    auto text = readFileToString(config + "/" + gtk + "/settings.ini");
    if (!text.ok()) continue;
    auto groups = parseIni(text.value());
    auto settings = groups.find("Settings");
    if (settings == groups.end()) continue;
    auto name = settings->second.find("gtk-icon-theme-name");
    if (name == settings->second.end()) continue;
    std::string value = name->second;
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (!value.empty()) return value;
  }
  return "hicolor";
}

ThemeIconResolver::Options ThemeIconResolver::optionsFromEnvironment(const DataDirectories& dirs) {
  Options options;
  options.themeName = themeNameFromEnvironment(dirs);
  options.baseDirectories.push_back(dirs.userDataHome + "/icons");
  options.baseDirectories.push_back(dirs.home + "/.icons");
  for (const auto& d : dirs.systemDataDirs) options.baseDirectories.push_back(d + "/icons");
  options.pixmapDirectories.push_back("/usr/share/pixmaps");
  return options;
}

ThemeIconResolver::ThemeIconResolver(Options options) : options_(std::move(options)) {
  if (options_.themeName.empty()) options_.themeName = "hicolor";
}

std::optional<std::string> ThemeIconResolver::resolve(const std::string& name, int size) {
  if (name.empty()) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  auto key = std::make_pair(name, size);
  auto cached = cache_.find(key);
  if (cached != cache_.end()) return cached->second;
  auto found = lookupLocked(name, size);
  cache_.emplace(key, found);
  return found;
}

std::optional<std::string> ThemeIconResolver::lookupLocked(const std::string& name, int size) {
  if (name.front() == '/') return isFilePath(name) ? std::optional<std::string>(name) : std::nullopt;
  if (name.find('/') != std::string::npos) return std::nullopt;
  std::string icon = name;
  for (const char* ext : kExtensions) {  // "Icon=foo.png" is common in the wild
    if (endsWith(icon, ext)) icon.resize(icon.size() - std::string_view(ext).size());
  }
  std::vector<std::string> names{icon};
  if (icon != kGenericFileIcon && isGenericFileIconName(icon)) names.push_back(kGenericFileIcon);
  for (const auto& candidate : names) {
    std::set<std::string> visited;
    if (auto found = findInThemeTree(options_.themeName, candidate, size, &visited)) return found;
    if (auto found = findInThemeTree("hicolor", candidate, size, &visited)) return found;
    for (const auto& dir : options_.pixmapDirectories) {
      if (auto found = iconFileIn(dir, candidate)) return found;
    }
  }
  return std::nullopt;
}

std::optional<std::string> ThemeIconResolver::findInThemeTree(const std::string& themeName, const std::string& icon,
                                                              int size, std::set<std::string>* visited) {
  if (!visited->insert(themeName).second) return std::nullopt;
  const Theme* theme = themeLocked(themeName);
  if (!theme) return std::nullopt;
  if (auto found = lookupInTheme(*theme, icon, size)) return found;
  for (const auto& parent : theme->parents) {
    if (auto found = findInThemeTree(parent, icon, size, visited)) return found;
  }
  return std::nullopt;
}

std::optional<std::string> ThemeIconResolver::lookupInTheme(const Theme& theme, const std::string& icon, int size) {
  for (const auto& dir : theme.directories) {
    if (!dir.matches(size)) continue;
    for (const auto& root : theme.roots) {
      if (auto found = iconFileIn(root + "/" + dir.name, icon)) return found;
    }
  }
  std::optional<std::string> closest;
  int best = INT_MAX;
  for (const auto& dir : theme.directories) {
    int distance = dir.distance(size);
    if (distance >= best) continue;
    for (const auto& root : theme.roots) {
      if (auto found = iconFileIn(root + "/" + dir.name, icon)) {
        closest = found;
        best = distance;
        break;
      }
    }
  }
  return closest;
}

const ThemeIconResolver::Theme* ThemeIconResolver::themeLocked(const std::string& name) {
  auto known = themes_.find(name);
  if (known != themes_.end()) return known->second.get();
  auto theme = std::make_unique<Theme>();
  theme->name = name;
  std::optional<IniGroups> index;
  for (const auto& base : options_.baseDirectories) {
    std::string root = base + "/" + name;
    if (!isDirectoryPath(root)) continue;
    theme->roots.push_back(root);
    if (!index) {
      auto text = readFileToString(root + "/index.theme");
      if (text.ok()) index = parseIni(text.value());
    }
  }
  if (!index) {
    themes_.emplace(name, nullptr);
    return nullptr;
  }
  auto& main = (*index)["Icon Theme"];
  theme->parents = splitCommaList(main["Inherits"]);
  for (const auto& dirName : splitCommaList(main["Directories"])) {
    auto group = index->find(dirName);
    if (group == index->end()) continue;
    auto& keys = group->second;
    auto sizeValue = parseInt(keys["Size"]);
    if (!sizeValue || *sizeValue <= 0) continue;  // malformed entry: skip the directory
    ThemeDirectory dir;
    dir.name = dirName;
    dir.size = *sizeValue;
    dir.scale = parseInt(keys["Scale"]).value_or(1);
    if (dir.scale != 1) continue;  // HiDPI variants are not used
    std::string type = keys["Type"];
    dir.type = type == "Fixed"      ? ThemeDirectory::Type::fixed
               : type == "Scalable" ? ThemeDirectory::Type::scalable
                                    : ThemeDirectory::Type::threshold;
    dir.minSize = parseInt(keys["MinSize"]).value_or(dir.size);
    dir.maxSize = parseInt(keys["MaxSize"]).value_or(dir.size);
    dir.threshold = parseInt(keys["Threshold"]).value_or(2);
    theme->directories.push_back(std::move(dir));
  }
  const Theme* result = theme.get();
  themes_.emplace(name, std::move(theme));
  return result;
}

const std::unordered_set<std::string>& ThemeIconResolver::listingLocked(const std::string& directory) {
  auto it = listings_.find(directory);
  if (it != listings_.end()) return it->second;
  std::unordered_set<std::string> names;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (dirent* entry = ::readdir(dir)) names.insert(entry->d_name);
    ::closedir(dir);
  }
  return listings_.emplace(directory, std::move(names)).first->second;
}

std::optional<std::string> ThemeIconResolver::iconFileIn(const std::string& directory, const std::string& icon) {
  const auto& names = listingLocked(directory);
  for (const char* ext : kExtensions) {
    std::string file = icon + ext;
    if (names.count(file)) return directory + "/" + file;
  }
  return std::nullopt;
}

std::string ThemeIconResolver::iconNameForFile(const std::string& path, bool isDirectory) {
  if (isDirectory) return "folder";
  size_t slash = path.find_last_of('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = base.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return kGenericFileIcon;
  std::string ext = asciiLowercase(base.substr(dot + 1));
  const auto& byExtension = iconNamesByExtension();
  auto it = byExtension.find(ext);
  return it == byExtension.end() ? "application-x-generic" : it->second;
}

}  // namespace pallix
