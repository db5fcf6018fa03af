// IconResolver: finds the image file for an application or file icon
// through the freedesktop icon theme (current theme, then "hicolor", then
// /usr/share/pixmaps). Thread-safe; lookups are cached per (name, size).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pallix {

class IconResolver {
 public:
  virtual ~IconResolver() = default;
  // The file for icon `name` (a theme name such as "org.gnome.Calculator" or
  // an absolute path) closest to `size` pixels; nullopt when none exists.
  virtual std::optional<std::string> resolve(const std::string& name, int size) = 0;
  // The generic icon name for a file: from its MIME type ("text-x-generic",
  // "image-x-generic", "folder", ...).
  virtual std::string iconNameForFile(const std::string& path, bool isDirectory) = 0;
};

}  // namespace pallix
