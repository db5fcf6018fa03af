// IndexCandidate: an app, file or folder found by a scan, before it is
// resolved against the stored catalog. Plain value; lives only during a scan.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/search/IndexedItem.h"
#include "core/Clock.h"

namespace pallix {

struct IndexCandidate {
  std::string name;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> version;
  std::optional<std::string> build;
  std::optional<Date> lastUsed;
  // The resolved, standardised path; the catalog's `path`.
  std::string canonicalPath;
  int64_t domainPriority = 1;
  IndexedItem::ItemType itemType = IndexedItem::ItemType::file;
  std::optional<std::string> fileExtension;
  int64_t sizeBytes = 0;
  std::optional<Date> createdDate;
  std::optional<Date> modifiedDate;
  std::optional<IndexedItem::FileCategory> fileCategory;
  std::optional<std::string> parentBundleIdentifier;
  // Desktop entries: the generic name, untranslated name and keywords.
  std::vector<std::string> keywords;

  std::string url() const;

  // For two candidates of the same app: identical candidates are not
  // preferred; then the higher domainPriority wins, then the later
  // modification date (when both have one), then a top-level app over a
  // nested one, then the shorter path, then the smaller path.
  bool isPreferred(const IndexCandidate& other) const;

  // A new record for this candidate.
  IndexedItem makeItem(Date lastIndexed) const;
  // The same, made of this candidate's fields, which are moved out.
  IndexedItem takeItem(Date lastIndexed);
  // True when `item` already holds every scanned field of this candidate.
  bool matches(const IndexedItem& item) const;
  // Copies the scanned fields into `item`, keeping its id, pin and last use.
  void applyTo(IndexedItem& item, Date lastIndexed) const;

  friend bool operator==(const IndexCandidate&, const IndexCandidate&) = default;
};

// The candidate a stored record was made from (for comparing a scanned app
// with the record it would replace).
IndexCandidate candidateFromItem(const IndexedItem& item);

// The location rank of an app path: 5 under "/System/Applications" (or the
// cryptex copy), 4 under "/Applications", 3 below
// "/System/Library/CoreServices/", 2 below the home "Applications", else 1.
int64_t appDomainPriority(const std::string& path, const std::string& home);

// The sandboxed application a file or folder belongs to, which the `app:`
// filter matches: the flatpak ID for paths below "~/.var/app/<ID>/",
// "/var/lib/flatpak/app/<ID>/" or "~/.local/share/flatpak/app/<ID>/", the
// snap name below "/snap/<name>/" or "~/snap/<name>/"; nullopt elsewhere
// (including the application's own folder).
std::optional<std::string> owningApplicationIdentifier(std::string_view path, std::string_view home);

// The display name of a file or folder (its last path component without the
// extension) and a file's lowercased extension (nullopt when none).
std::string displayNameForPath(std::string_view path);
std::optional<std::string> lowercasedExtension(std::string_view name);

}  // namespace pallix
