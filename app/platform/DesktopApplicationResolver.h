// DesktopApplicationResolver: which installed application a window belongs
// to, from the window's WM_CLASS (instance and class names): the desktop
// entry whose StartupWMClass matches, else the one whose desktop-file ID
// does ("org.gnome.TextEditor" or its last part). Matching ignores case.
//
// The entries are read once, on the first lookup. Thread-safe.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "app/platform/DesktopEntry.h"
#include "app/platform/Pasteboard.h"

namespace pallix {

class DesktopApplicationResolver {
 public:
  explicit DesktopApplicationResolver(DataDirectories dirs) : dirs_(std::move(dirs)) {}
  // For tests: a fixed list of entries.
  explicit DesktopApplicationResolver(std::vector<DesktopEntry> entries)
      : entries_(std::move(entries)), loaded_(true) {}

  std::optional<FrontmostApplication> resolve(const std::string& instanceName, const std::string& className);

 private:
  void loadIfNeeded();

  DataDirectories dirs_;
  std::mutex mutex_;
  std::vector<DesktopEntry> entries_;
  bool loaded_ = false;
};

}  // namespace pallix
