#include "app/search/IndexedItem.h"

#include <array>
#include <string_view>

#include "app/search/TextFolding.h"

namespace pallix {

namespace {

constexpr std::array<std::string_view, 63> kCodeExtensions = {
    "swift", "m",    "mm",         "h",        "hpp",   "c",   "cpp",     "cc",   "cxx",   "py",  "pyw",
    "pyi",   "js",   "jsx",        "ts",       "tsx",   "mjs", "cjs",     "java", "kt",    "kts", "scala",
    "rs",    "go",   "rb",         "php",      "cs",    "fs",  "vb",      "lua",  "pl",    "pm",  "r",
    "jl",    "sh",   "bash",       "zsh",      "fish",  "sql", "graphql", "gql",  "html",  "htm", "css",
    "scss",  "sass", "less",       "json",     "yaml",  "yml", "toml",    "xml",  "plist", "md",  "markdown",
    "rst",   "tex",  "dockerfile", "makefile", "cmake", "vue", "svelte",  "astro"};
constexpr std::array<std::string_view, 20> kDocumentExtensions = {
    "txt", "rtf", "rtfd", "pdf", "doc", "docx",    "odt",   "xls",     "xlsx", "ods",
    "csv", "ppt", "pptx", "odp", "key", "keynote", "pages", "numbers", "epub", "mobi"};
constexpr std::array<std::string_view, 23> kImageExtensions = {
    "png", "jpg",  "jpeg", "gif", "webp",   "avif", "heic", "heif", "tiff", "tif", "bmp", "svg",
    "ico", "icns", "psd",  "ai",  "sketch", "fig",  "raw",  "cr2",  "nef",  "arw", "dng"};
constexpr std::array<std::string_view, 12> kAudioExtensions = {"mp3", "m4a", "aac", "flac", "wav", "aiff",
                                                               "aif", "ogg", "wma", "opus", "mid", "midi"};
constexpr std::array<std::string_view, 11> kVideoExtensions = {"mp4", "m4v", "mov",  "avi", "mkv", "webm",
                                                               "wmv", "flv", "mpeg", "mpg", "3gp"};
constexpr std::array<std::string_view, 13> kArchiveExtensions = {"zip", "tar", "gz",  "tgz", "bz2", "xz", "7z",
                                                                 "rar", "dmg", "iso", "pkg", "deb", "rpm"};

template <size_t N>
bool contains(const std::array<std::string_view, N>& set, std::string_view value) {
  for (std::string_view entry : set) {
    if (entry == value) return true;
  }
  return false;
}

bool isUnreservedPathByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~' || c == '/';
}

}  // namespace

std::string IndexedItem::url() const {
  static const char* kHex = "0123456789ABCDEF";
  std::string out = "file://";
  out.reserve(out.size() + path.size());
  for (unsigned char c : path) {
    if (isUnreservedPathByte(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

IndexedItem::ItemType IndexedItem::itemType() const {
  return itemTypeFromRaw(itemTypeRaw).value_or(ItemType::file);
}

std::optional<IndexedItem::FileCategory> IndexedItem::fileCategory() const {
  if (!fileCategoryRaw) return std::nullopt;
  return fileCategoryFromRaw(*fileCategoryRaw);
}

IndexedItem IndexedItem::file(const std::string& path, const std::string& name,
                              std::optional<std::string> fileExtension, int64_t sizeBytes,
                              std::optional<Date> createdDate, std::optional<Date> modifiedDate,
                              std::optional<FileCategory> fileCategory,
                              std::optional<std::string> parentBundleIdentifier) {
  IndexedItem item;
  item.path = path;
  item.itemTypeRaw = itemTypeRawValue(ItemType::file);
  item.name = name;
  item.searchName = foldForSearch(name);
  item.fileExtension = std::move(fileExtension);
  item.sizeBytes = sizeBytes;
  item.createdDate = createdDate;
  item.modifiedDate = modifiedDate;
  if (fileCategory) item.fileCategoryRaw = fileCategoryRawValue(*fileCategory);
  item.parentBundleIdentifier = std::move(parentBundleIdentifier);
  return item;
}

const char* itemTypeRawValue(IndexedItem::ItemType type) {
  switch (type) {
    case IndexedItem::ItemType::app:
      return "app";
    case IndexedItem::ItemType::file:
      return "file";
    case IndexedItem::ItemType::folder:
      return "folder";
  }
  return "file";
}

std::optional<IndexedItem::ItemType> itemTypeFromRaw(std::string_view raw) {
  if (raw == "app") return IndexedItem::ItemType::app;
  if (raw == "file") return IndexedItem::ItemType::file;
  if (raw == "folder") return IndexedItem::ItemType::folder;
  return std::nullopt;
}

const char* fileCategoryRawValue(IndexedItem::FileCategory category) {
  switch (category) {
    case IndexedItem::FileCategory::code:
      return "code";
    case IndexedItem::FileCategory::document:
      return "document";
    case IndexedItem::FileCategory::image:
      return "image";
    case IndexedItem::FileCategory::audio:
      return "audio";
    case IndexedItem::FileCategory::video:
      return "video";
    case IndexedItem::FileCategory::archive:
      return "archive";
    case IndexedItem::FileCategory::other:
      return "other";
  }
  return "other";
}

std::optional<IndexedItem::FileCategory> fileCategoryFromRaw(std::string_view raw) {
  using C = IndexedItem::FileCategory;
  if (raw == "code") return C::code;
  if (raw == "document") return C::document;
  if (raw == "image") return C::image;
  if (raw == "audio") return C::audio;
  if (raw == "video") return C::video;
  if (raw == "archive") return C::archive;
  if (raw == "other") return C::other;
  return std::nullopt;
}

IndexedItem::FileCategory fileCategoryFromExtension(std::string_view extension) {
  using C = IndexedItem::FileCategory;
  if (extension.empty() || extension.size() > 16) return C::other;
  char buffer[16];
  for (size_t i = 0; i < extension.size(); ++i) {
    char c = extension[i];
    buffer[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  std::string_view lower(buffer, extension.size());
  if (contains(kCodeExtensions, lower)) return C::code;
  if (contains(kDocumentExtensions, lower)) return C::document;
  if (contains(kImageExtensions, lower)) return C::image;
  if (contains(kAudioExtensions, lower)) return C::audio;
  if (contains(kVideoExtensions, lower)) return C::video;
  if (contains(kArchiveExtensions, lower)) return C::archive;
  return C::other;
}

}  // namespace pallix
