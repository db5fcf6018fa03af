// Catalog records: IndexedItem (an app, file or folder of the catalog) and
// FileItem (a file of the content index). Plain values; persisted by
// CatalogStore in the "Pallix.sqlite" store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Clock.h"

namespace pallix {

struct IndexedItem {
  enum class ItemType { app, file, folder };
  enum class FileCategory { code, document, image, audio, video, archive, other };

  // Stable row identifier in the store; 0 until saved.
  int64_t id = 0;
  std::string path;
  std::string itemTypeRaw = "file";
  std::string name;
  std::string searchName;
  std::optional<std::string> fileExtension;
  int64_t sizeBytes = 0;
  std::optional<Date> createdDate;
  std::optional<Date> modifiedDate;
  Date lastIndexed{};
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> version;
  std::optional<std::string> build;
  bool isPinned = false;
  std::optional<Date> lastUsed;
  int64_t domainPriority = 1;
  std::optional<std::string> fileCategoryRaw;
  std::optional<std::string> parentBundleIdentifier;
  // Apps from desktop entries: more words app search matches (after the
  // name): the generic name, the untranslated name, the entry's keywords.
  std::vector<std::string> keywords;

  // "file://" plus the percent-encoded path.
  std::string url() const;
  ItemType itemType() const;
  std::optional<FileCategory> fileCategory() const;

  static IndexedItem file(const std::string& path, const std::string& name, std::optional<std::string> fileExtension,
                          int64_t sizeBytes, std::optional<Date> createdDate, std::optional<Date> modifiedDate,
                          std::optional<FileCategory> fileCategory, std::optional<std::string> parentBundleIdentifier);

  friend bool operator==(const IndexedItem&, const IndexedItem&) = default;
};

const char* itemTypeRawValue(IndexedItem::ItemType type);
std::optional<IndexedItem::ItemType> itemTypeFromRaw(std::string_view raw);
const char* fileCategoryRawValue(IndexedItem::FileCategory category);
std::optional<IndexedItem::FileCategory> fileCategoryFromRaw(std::string_view raw);
// The category of a file extension (any case); `other` when none matches.
IndexedItem::FileCategory fileCategoryFromExtension(std::string_view extension);

struct FileItem {
  int64_t id = 0;
  std::string path;
  std::string name;
  std::string nameLowercase;
  std::string fileExtension;
  int64_t size = 0;
  Date modifiedDate{};
  Date createdDate{};
  Date lastIndexed{};
  std::optional<std::string> contentPreview;

  friend bool operator==(const FileItem&, const FileItem&) = default;
};

}  // namespace pallix
