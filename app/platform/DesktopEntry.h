// XDG desktop entries: the Linux form of installed applications.
//
// Applications are the "Type=Application" entries found in the "applications"
// folder of each XDG data directory, plus flatpak and snap exports. The
// desktop-file ID ("org.gnome.Calculator.desktop" for
// applications/org.gnome.Calculator.desktop; subfolders joined with "-") is
// the application's bundle identifier. When several directories hold the same
// ID, the one with the highest priority wins, following the XDG precedence.
//
// Localized keys ("Name[de]") are read for the user's messages locale with
// the desktop-entry fallbacks (lang_COUNTRY@MODIFIER, lang_COUNTRY,
// lang@MODIFIER, lang, then the unlocalized key).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "core/Error.h"

namespace pallix {

// The messages locale as desktop entries need it: lang_COUNTRY.ENCODING@MODIFIER
// with the encoding dropped. Empty `lang`: no locale ("C", "POSIX", unset).
struct DesktopLocale {
  std::string lang;
  std::string country;
  std::string modifier;

  static DesktopLocale parse(std::string_view value);
  // The locale of LC_ALL, else LC_MESSAGES, else LANG (the first one set
  // and not empty).
  static DesktopLocale fromEnvironment();
  // The bracketed suffixes to try, best first.
  std::vector<std::string> candidates() const;
};

struct DesktopEntry {
  std::string id;                          // desktop-file ID, e.g. "org.gnome.Calculator.desktop"
  std::string path;                        // absolute path of the .desktop file
  std::string name;                        // Name for the locale
  std::string untranslatedName;            // Name without a locale
  std::optional<std::string> genericName;  // for the locale, as comment and keywords
  std::optional<std::string> comment;
  std::optional<std::string> icon;  // Icon: a theme icon name or an absolute path
  std::optional<std::string> exec;  // Exec, unexpanded
  std::optional<std::string> tryExec;
  std::optional<std::string> workingDirectory;  // Path key
  std::optional<std::string> version;           // X-AppVersion-style keys when present
  std::optional<std::string> startupWMClass;    // the WM_CLASS its windows carry
  std::vector<std::string> categories;
  std::vector<std::string> keywords;
  bool noDisplay = false;
  bool hidden = false;
  bool terminal = false;
  std::string type = "Application";
};

// Parses one .desktop file ([Desktop Entry] group only). `id` is its
// desktop-file ID; localized keys are read for `locale`.
Result<DesktopEntry> parseDesktopEntry(const std::string& path, const std::string& id,
                                       const DesktopLocale& locale = {});
// True for the error parseDesktopEntry returns when `path` is a FIFO, a
// device or another special file (unlike a broken entry, worth telling the user).
bool isSpecialFileDesktopEntryError(const Error& error);
// Parses desktop-entry text already read from `path` (named in errors).
Result<DesktopEntry> parseDesktopEntryText(const std::string& text, const std::string& path, const std::string& id,
                                           const DesktopLocale& locale = {});

// Whether the program the entry's TryExec names is installed: an absolute
// path must be an executable file, a bare name must be one in a directory of
// `searchPath` (colon-separated, as $PATH). An entry without TryExec is.
bool isTryExecInstalled(const DesktopEntry& entry, std::string_view searchPath);

struct ApplicationDirectory {
  std::string path;  // an "applications" folder
  int priority = 1;  // $XDG_DATA_HOME 5, /usr/local/share 4, /usr/share 3, flatpak/snap exports 2, else 1
};

// Every applications folder to scan, highest precedence first (may include
// folders that do not exist).
std::vector<ApplicationDirectory> desktopApplicationDirectories(const DataDirectories& dirs);

// The priority of a .desktop file path under the rule above.
int desktopEntryDomainPriority(const std::string& path, const DataDirectories& dirs);

// The desktop-file ID of `path` found under `applicationsDirectory`
// ("kde/okular.desktop" below it gives "kde-okular.desktop"). A path outside
// the directory gives its file name.
std::string desktopFileIdForPath(const std::string& applicationsDirectory, const std::string& path);

}  // namespace pallix
