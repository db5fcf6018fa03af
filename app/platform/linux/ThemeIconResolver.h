// ThemeIconResolver: IconResolver over freedesktop icon themes.
//
// Looks an icon up in the current theme, then in the themes it inherits
// (depth first, in "Inherits" order), then in "hicolor", then in the pixmap
// folders. Within a theme, a directory whose size matches wins (in the
// order of the theme's "Directories" list, each searched in every base
// folder, png before svg before xpm); otherwise the file in the directory of
// closest size. Generic file icon names (from iconNameForFile) that no theme
// has fall back to "text-x-generic". Theme indexes and directory listings are
// read once; answers are cached per (name, size), so icons installed later
// are found only by a new resolver. Thread-safe (one mutex around the caches).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "app/platform/IconResolver.h"

namespace pallix {

class ThemeIconResolver final : public IconResolver {
 public:
  struct Options {
    std::string themeName = "hicolor";
    // Folders holding themes, searched in order ($XDG_DATA_HOME/icons,
    // ~/.icons, each $XDG_DATA_DIRS/icons).
    std::vector<std::string> baseDirectories;
    // Folders of unthemed icons (/usr/share/pixmaps).
    std::vector<std::string> pixmapDirectories;
  };

  // The theme from $PALLIX_ICON_THEME, else "gtk-icon-theme-name" in the
  // gtk-4.0 or gtk-3.0 settings.ini of the user's config folder, else "hicolor".
  static std::string themeNameFromEnvironment(const DataDirectories& dirs);
  static Options optionsFromEnvironment(const DataDirectories& dirs);

  explicit ThemeIconResolver(Options options);

  std::optional<std::string> resolve(const std::string& name, int size) override;
  std::string iconNameForFile(const std::string& path, bool isDirectory) override;

  const std::string& themeName() const { return options_.themeName; }

 private:
  struct ThemeDirectory {
    std::string name;  // relative to the theme folder, e.g. "48x48/apps"
    enum class Type { fixed, scalable, threshold } type = Type::threshold;
    int size = 0;
    int minSize = 0;
    int maxSize = 0;
    int threshold = 2;
    int scale = 1;
    bool matches(int requested) const;
    int distance(int requested) const;
  };
  struct Theme {
    std::string name;
    std::vector<std::string> roots;  // <base>/<name> folders that exist
    std::vector<std::string> parents;
    std::vector<ThemeDirectory> directories;
  };

  std::optional<std::string> lookupLocked(const std::string& name, int size);
  std::optional<std::string> findInThemeTree(const std::string& themeName, const std::string& icon, int size,
                                             std::set<std::string>* visited);
  std::optional<std::string> lookupInTheme(const Theme& theme, const std::string& icon, int size);
  const Theme* themeLocked(const std::string& name);
  // The file names in `directory` (read once).
  const std::unordered_set<std::string>& listingLocked(const std::string& directory);
  std::optional<std::string> iconFileIn(const std::string& directory, const std::string& icon);

  Options options_;
  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<Theme>> themes_;  // nullptr: no such theme
  std::unordered_map<std::string, std::unordered_set<std::string>> listings_;
  std::map<std::pair<std::string, int>, std::optional<std::string>> cache_;
};

}  // namespace pallix
