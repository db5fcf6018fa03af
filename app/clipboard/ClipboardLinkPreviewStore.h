// ClipboardLinkPreviewStore: the link previews of copied web links on disk,
// one JSON file per link in "ClipboardLinkPreviews" under a base directory,
// keeping the `maxEntries` most recently used.
//
// File format (sorted keys, written atomically):
//   {"canonicalURLString": ..., "createdAt": seconds since 2001-01-01 UTC,
//    "iconImageData": Base64 (optional), "lastAccessedAt": same encoding,
//    "previewImageData": Base64 (optional), "title": ... (optional),
//    "urlString": the link as copied}
// The file name is the SHA-256 of the canonical link (trimmed, lower-cased)
// in hexadecimal, plus ".json". Files that cannot be read or decoded are
// deleted when the store prunes.
//
// Threading: used from one runner at a time (the clipboard service's
// link-metadata runner). The service owns it.
#pragma once

#include <optional>
#include <string>

#include "core/Clock.h"
#include "core/Error.h"

namespace pallix {

struct ClipboardLinkPreviewPayload {
  std::string urlString;
  std::string canonicalURLString;
  std::optional<std::string> title;
  std::optional<std::string> iconImageData;     // bytes (Base64 in the file)
  std::optional<std::string> previewImageData;  // bytes (Base64 in the file)
  double createdAt = 0;                         // seconds since 2001-01-01 00:00:00 UTC
  double lastAccessedAt = 0;
  friend bool operator==(const ClipboardLinkPreviewPayload&, const ClipboardLinkPreviewPayload&) = default;
};

// Seconds between 1970-01-01 and 2001-01-01, UTC.
inline constexpr double kSecondsFrom1970To2001 = 978307200.0;
double secondsSince2001(Date date);

class ClipboardLinkPreviewStore {
 public:
  static constexpr const char* kDirectoryName = "ClipboardLinkPreviews";
  static constexpr const char* kErrorDomain = "ClipboardLinkPreviewStoreError";
  static constexpr int kServiceMaxEntries = 5;

  // `baseDirectory` holds the "ClipboardLinkPreviews" folder; maxEntries
  // below 1 is raised to 1.
  ClipboardLinkPreviewStore(std::string baseDirectory, int maxEntries, const Clock& clock);

  static std::string canonicalURLString(const std::string& url);
  static std::string cacheKey(const std::string& url);
  const std::string& directory() const { return directory_; }
  std::string filePath(const std::string& url) const;

  // The preview of `url`, refreshing its lastAccessedAt; nullopt when none is stored.
  Result<std::optional<ClipboardLinkPreviewPayload>> loadPreview(const std::string& url);
  // Writes `payload` (lastAccessedAt set to now), then prunes.
  Status savePreview(ClipboardLinkPreviewPayload payload);
  Status clearAll();

  static std::string encode(const ClipboardLinkPreviewPayload& payload);
  static Result<ClipboardLinkPreviewPayload> decode(const std::string& json);

 private:
  Status write(const ClipboardLinkPreviewPayload& payload);
  void pruneIfNeeded();

  std::string directory_;
  int maxEntries_;
  const Clock& clock_;
};

}  // namespace pallix
