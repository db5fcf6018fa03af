// ModeResultMedia: the pictures and the detail pane of a mode result, for
// modes whose rows show more than text (the clipboard history): what the
// row's tile draws and what the detail pane shows when the row is
// selected. Immutable once made, shared between the mode, the session and
// the panel's content; no thread affinity.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pallix {

struct ModeResultMedia {
  // The tile: image bytes (a thumbnail, a site icon), else the theme icon of
  // a file or folder; empty: the letter tile.
  std::shared_ptr<const std::string> tileImage;
  std::string tileIconPath;
  // The desktop-file ID of the application the result came from; its icon
  // marks the tile's corner.
  std::string sourceAppIdentifier;

  // The detail pane: a heading, the full text, an image at its size (a
  // copied image, a link's preview image) and labelled facts.
  std::string heading;
  std::string text;
  std::shared_ptr<const std::string> image;
  std::vector<std::pair<std::string, std::string>> facts;  // label, value
};

}  // namespace pallix
