#include "cli/Display.h"

#include "core/TerminalText.h"

namespace pallix::cli {

std::string printable(std::string_view text) {
  return escapeForTerminal(text);
}

std::string printableColumn(std::string_view text, int width) {
  return padToDisplayWidth(escapeForTerminal(text), width);
}

std::string displayName(const IndexedItem& item) {
  if (item.itemType() == IndexedItem::ItemType::app) return item.name;
  std::string_view path = item.path;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return last.empty() ? item.name : std::string(last);
}

std::vector<std::string> displayNames(const std::vector<IndexedItem>& items) {
  std::vector<std::string> names, paths;
  for (const IndexedItem& item : items) {
    names.push_back(displayName(item));
    // Apps of one name usually sit in one folder; their entry file tells them apart.
    paths.push_back(item.itemType() == IndexedItem::ItemType::app ? item.path + "/-" : item.path);
  }
  std::vector<std::string> parents = distinguishingParents(names, paths);
  for (size_t i = 0; i < names.size(); ++i) {
    if (!parents[i].empty()) names[i] += " (" + parents[i] + ")";
  }
  return names;
}

}  // namespace pallix::cli
