// ClipboardItemFacts: what a clipboard item is, in the words its row, its
// detail pane and `pallix clipboard list` use: a link's page title and URL,
// an image's format and size in pixels, a copied file's path, when it was
// copied and from which application. ClipboardItemContent is what only the
// item's bytes tell (the history keeps none in memory): read when a row is
// shown, on the capture runner. Pure values and functions; no thread
// affinity.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/clipboard/ClipboardItem.h"
#include "app/clipboard/ClipboardLinkPreviewStore.h"
#include "app/clipboard/ImageHeader.h"

namespace pallix {

struct ClipboardItemContent {
  // The first image representation: its type, bytes and header (nullopt
  // when the bytes are no image this can read).
  std::string imageType;
  std::shared_ptr<const std::string> imageData;
  std::optional<ImageHeader> image;
  std::vector<std::string> filePaths;  // copied files (text/uri-list "file:" URIs)
  // The first plain text, whole up to kFullTextLimit bytes (the history
  // keeps ClipboardItem::kPrimaryTextLimit characters).
  std::optional<std::string> fullText;
  static constexpr size_t kFullTextLimit = 64 * 1024;
};

// Reads what the item's representations (with their bytes) hold; the
// image's bytes are moved out, not copied.
ClipboardItemContent readClipboardItemContent(std::vector<ClipboardRepresentation> representations);
// The local paths of the "file:" URIs of a text/uri-list (comments and
// other schemes skipped, percent escapes decoded, "file://host/" accepted
// only for localhost).
std::vector<std::string> filePathsFromURIList(std::string_view list);

struct ClipboardItemFacts {
  ClipboardContentKind kind = ClipboardContentKind::unknown;
  // The row's first line: the text, a link's title (its text until the
  // title is known), "PNG image · 640×480", a file's name.
  std::string title;
  std::optional<std::string> url;
  std::optional<std::string> linkTitle;
  std::optional<std::string> imageFormat;  // "PNG"
  std::optional<uint32_t> pixelWidth, pixelHeight;
  std::optional<std::string> filePath;  // the first copied file
  size_t fileCount = 0;
  std::string typeIdentifier;  // of the first representation
  int64_t byteCount = 0;
  std::string age;  // "2 min ago"
  std::optional<std::string> sourceAppName;
  std::optional<std::string> sourceAppIdentifier;  // desktop-file ID

  // The row's second line: the URL under a link's title, a file's path,
  // then the age and the source application.
  std::string detailLine() const;
};

// `preview` and `content` are optional (not loaded yet, or none).
ClipboardItemFacts describeClipboardItem(const ClipboardItem& item, Date now,
                                         const ClipboardLinkPreviewPayload* preview = nullptr,
                                         const ClipboardItemContent* content = nullptr);

}  // namespace pallix
