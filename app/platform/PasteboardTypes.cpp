#include "app/platform/PasteboardTypes.h"

#include <array>
#include <utility>

#include "core/Strings.h"

namespace pallix {
namespace {

using Category = PasteboardTypeCategory;

// Exact types, normalised. Image types are matched by their "image/" prefix.
constexpr std::array<std::pair<std::string_view, Category>, 21> kTypes = {{
    {"text/plain;charset=utf-8", Category::plainText},
    {"text/plain", Category::plainText},
    {"text/plain;charset=utf-16", Category::plainText},
    {"utf8_string", Category::plainText},
    {"string", Category::plainText},
    {"text", Category::plainText},
    {"compound_text", Category::plainText},
    {"text/rtf", Category::rtf},
    {"application/rtf", Category::rtf},
    {"text/richtext", Category::rtf},
    {"text/html", Category::html},
    {"application/xhtml+xml", Category::html},
    {"text/uri-list", Category::url},
    {"text/x-moz-url", Category::url},
    {"_netscape_url", Category::url},
    {"x-special/gnome-copied-files", Category::fileURL},
    {"application/x-kde-cutselection", Category::other},
    {"text/x-uri", Category::url},
    {"application/x-qt-image", Category::image},
    {"pixmap", Category::image},
    {"bitmap", Category::image},
}};

constexpr std::array<std::string_view, 10> kProtocolTargets = {
    "targets",          "multiple",        "timestamp", "save_targets", "delete",
    "insert_selection", "insert_property", "target",    "length",       "atom_pair"};

}  // namespace

std::string normalizedPasteboardType(std::string_view type) {
  std::string out;
  out.reserve(type.size());
  for (size_t i = 0; i < type.size(); ++i) {
    char c = type[i];
    if (c == ' ') continue;
    out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return out;
}

PasteboardTypeCategory pasteboardTypeCategory(std::string_view type) {
  const std::string normalized = normalizedPasteboardType(type);
  for (const auto& [name, category] : kTypes) {
    if (normalized == name) return category;
  }
  if (startsWith(normalized, "image/")) return Category::image;
  if (startsWith(normalized, "text/plain;")) return Category::plainText;
  return Category::other;
}

PasteboardTypeCategory representationCategory(std::string_view type, std::string_view data) {
  Category category = pasteboardTypeCategory(type);
  if (category == Category::url && normalizedPasteboardType(type) == "text/uri-list") {
    // The first URI decides: file managers copy lists of "file:" URIs.
    for (const std::string& line : splitString(data, '\n')) {
      std::string_view uri = trimWhitespace(line);
      if (uri.empty() || uri.front() == '#') continue;
      return startsWith(asciiLowercase(uri), "file:") ? Category::fileURL : Category::url;
    }
  }
  return category;
}

bool isPasteboardProtocolTarget(std::string_view type) {
  const std::string normalized = normalizedPasteboardType(type);
  for (std::string_view target : kProtocolTargets) {
    if (normalized == target) return true;
  }
  return false;
}

}  // namespace pallix
