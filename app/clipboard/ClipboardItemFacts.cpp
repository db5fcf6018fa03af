#include "app/clipboard/ClipboardItemFacts.h"

#include "app/clipboard/ClipboardCapture.h"
#include "app/platform/PasteboardTypes.h"
#include "core/Formatting.h"
#include "core/Strings.h"

namespace pallix {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecoded(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return std::nullopt;
    const int hi = hexValue(s[i + 1]), lo = hexValue(s[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  if (out.find('\0') != std::string::npos) return std::nullopt;
  return out;
}

std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  return text;
}

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash + 1 == path.size() ? path : path.substr(slash + 1);
}

const ClipboardRepresentation* firstOf(const std::vector<ClipboardRepresentation>& reps,
                                       PasteboardTypeCategory category) {
  for (const ClipboardRepresentation& r : reps) {
    if (pasteboardTypeCategory(r.typeIdentifier) == category) return &r;
  }
  return nullptr;
}

}  // namespace

std::vector<std::string> filePathsFromURIList(std::string_view list) {
  std::vector<std::string> paths;
  for (std::string line : splitString(std::string(list), '\n')) {
    line = std::string(trimWhitespace(line));
    if (line.empty() || line[0] == '#') continue;
    if (asciiLowercase(line.substr(0, 5)) != "file:") continue;
    std::string_view rest = std::string_view(line).substr(5);
    if (rest.substr(0, 2) == "//") {
      rest.remove_prefix(2);
      const size_t slash = rest.find('/');
      if (slash == std::string_view::npos) continue;
      const std::string host = asciiLowercase(rest.substr(0, slash));
      if (!host.empty() && host != "localhost") continue;
      rest.remove_prefix(slash);
    }
    if (rest.empty() || rest[0] != '/') continue;
    if (auto path = percentDecoded(rest)) paths.push_back(*path);
  }
  return paths;
}

ClipboardItemContent readClipboardItemContent(std::vector<ClipboardRepresentation> representations) {
  ClipboardItemContent content;
  if (const ClipboardRepresentation* text = firstOf(representations, PasteboardTypeCategory::plainText)) {
    const std::string& bytes = text->stringValue ? *text->stringValue : text->data.value_or("");
    content.fullText = truncateCodePoints(bytes, ClipboardItemContent::kFullTextLimit);
    if (content.fullText->size() > ClipboardItemContent::kFullTextLimit) {
      content.fullText = truncateCodePoints(*content.fullText, ClipboardItemContent::kFullTextLimit / 4);
    }
  }
  for (const ClipboardRepresentation& r : representations) {
    const std::string& bytes = r.data ? *r.data : r.stringValue ? *r.stringValue : std::string();
    if (representationCategory(r.typeIdentifier, bytes) != PasteboardTypeCategory::fileURL) continue;
    content.filePaths = filePathsFromURIList(bytes);
    if (!content.filePaths.empty()) break;
  }
  for (ClipboardRepresentation& r : representations) {
    if (pasteboardTypeCategory(r.typeIdentifier) != PasteboardTypeCategory::image) continue;
    content.imageType = r.typeIdentifier;
    if (r.data) {
      content.image = readImageHeader(*r.data);
      content.imageData = std::make_shared<const std::string>(std::move(*r.data));
    }
    break;
  }
  return content;
}

ClipboardItemFacts describeClipboardItem(const ClipboardItem& item, Date now,
                                         const ClipboardLinkPreviewPayload* preview,
                                         const ClipboardItemContent* content) {
  ClipboardItemFacts f;
  f.kind = item.contentKind();
  f.url = item.detectedURLString;
  if (preview && preview->title && !trimWhitespace(*preview->title).empty()) f.linkTitle = *preview->title;
  f.typeIdentifier = item.representations.empty() ? "" : item.representations.front().typeIdentifier;
  f.byteCount = item.totalByteCount();
  f.age = relativeAge(item.createdAt, now);
  f.sourceAppName = item.sourceAppName;
  f.sourceAppIdentifier = item.sourceAppBundleIdentifier;
  if (content && !content->filePaths.empty()) {
    f.filePath = content->filePaths.front();
    f.fileCount = content->filePaths.size();
  }
  const ClipboardRepresentation* image = firstOf(item.representations, PasteboardTypeCategory::image);
  if (content && content->image) {
    f.imageFormat = content->image->format;
    f.pixelWidth = content->image->width;
    f.pixelHeight = content->image->height;
  } else if (image) {
    const std::string format = imageFormatForType(image->typeIdentifier);
    if (!format.empty()) f.imageFormat = format;
  }

  switch (f.kind) {
    case ClipboardContentKind::link:
      f.title = f.linkTitle ? oneLine(*f.linkTitle) : oneLine(item.primaryText.value_or(f.url.value_or("")));
      break;
    case ClipboardContentKind::image:
      f.title = f.imageFormat.value_or("Unknown") + " image";
      if (f.pixelWidth) {
        f.title += stringPrintf(" \u00b7 %u\u00d7%u", *f.pixelWidth, *f.pixelHeight);
      } else if (image) {
        f.title += " \u00b7 " + humanSize(image->byteCount);
      }
      break;
    case ClipboardContentKind::file:
      if (f.filePath) {
        f.title = baseName(*f.filePath);
        if (f.fileCount > 1) f.title += stringPrintf(" and %zu more", f.fileCount - 1);
      } else {
        f.title = item.primaryText ? oneLine(*item.primaryText) : "Copied file";
      }
      break;
    case ClipboardContentKind::text:
    case ClipboardContentKind::richText:
      f.title = oneLine(item.primaryText.value_or(""));
      break;
    case ClipboardContentKind::unknown:
      f.title = item.primaryText ? oneLine(*item.primaryText)
                                 : (f.typeIdentifier.empty() ? std::string("Data") : f.typeIdentifier) + " \u00b7 " +
                                       humanSize(f.byteCount);
      break;
  }
  return f;
}

std::string ClipboardItemFacts::detailLine() const {
  std::vector<std::string> parts;
  if (kind == ClipboardContentKind::link && linkTitle && url) parts.push_back(*url);
  if (kind == ClipboardContentKind::file && filePath) parts.push_back(*filePath);
  parts.push_back(age);
  parts.push_back(sourceAppName.value_or(clipboardContentKindName(kind)));
  return joinStrings(parts, " \u00b7 ");
}

}  // namespace pallix
