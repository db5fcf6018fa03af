#include "app/platform/DesktopApplicationResolver.h"

#include <filesystem>
#include <set>

#include "core/Strings.h"

namespace pallix {

void DesktopApplicationResolver::loadIfNeeded() {
  if (loaded_) return;
  loaded_ = true;
  std::set<std::string> seen;
  std::error_code error;
  // Highest precedence first: the first entry with an ID wins.
  for (const ApplicationDirectory& dir : desktopApplicationDirectories(dirs_)) {
    for (auto it = std::filesystem::recursive_directory_iterator(dir.path, error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      if (error) break;
      if (it->path().extension() != ".desktop") continue;
      std::string id = desktopFileIdForPath(dir.path, it->path().string());
      if (!seen.insert(id).second) continue;
      auto entry = parseDesktopEntry(it->path().string(), id);
      if (entry.ok() && !entry.value().hidden) entries_.push_back(std::move(entry).value());
    }
  }
}

std::optional<FrontmostApplication> DesktopApplicationResolver::resolve(const std::string& instanceName,
                                                                        const std::string& className) {
  std::lock_guard<std::mutex> lock(mutex_);
  loadIfNeeded();
  const std::string instance = asciiLowercase(instanceName), cls = asciiLowercase(className);
  auto matches = [&](const std::string& candidate) {
    std::string c = asciiLowercase(candidate);
    return !c.empty() && (c == instance || c == cls);
  };
  auto app = [](const DesktopEntry& e) { return FrontmostApplication{e.id, e.name, e.icon}; };
  for (const DesktopEntry& e : entries_) {
    if (e.startupWMClass && matches(*e.startupWMClass)) return app(e);
  }
  for (const DesktopEntry& e : entries_) {
    std::string id = e.id.substr(0, e.id.size() - (endsWith(e.id, ".desktop") ? 8 : 0));
    std::string last = id.substr(id.rfind('.') == std::string::npos ? 0 : id.rfind('.') + 1);
    if (matches(id) || matches(last)) return app(e);
  }
  if (className.empty()) return std::nullopt;
  // An application without a desktop entry still has a name.
  return FrontmostApplication{className, className, std::nullopt};
}

}  // namespace pallix
