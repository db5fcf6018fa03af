#include "app/semantic/FileChunking.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <optional>
#include <utility>

#include "SimilaritySearchKit/MMapStore.h"
#include "app/search/CatalogScanner.h"
#include "app/search/IndexedItem.h"
#include "core/FileUtil.h"
#include "core/Strings.h"
#include "core/Utf8.h"

namespace fs = std::filesystem;

namespace pallix {
namespace {

// Byte offset of every code point of `text`, plus its end. A byte that does
// not start a well-formed sequence counts as one character.
std::vector<std::size_t> codePointOffsets(std::string_view text, std::vector<char32_t>& points) {
  std::vector<std::size_t> offsets;
  offsets.reserve(text.size() + 1);
  points.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
    if (i + length > text.size()) length = 1;
    char32_t point = length == 1 ? c : c & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        length = 1;
        point = c;
        break;
      }
      point = (point << 6) | (next & 0x3F);
    }
    offsets.push_back(i);
    points.push_back(point);
    i += length;
  }
  offsets.push_back(text.size());
  return offsets;
}

bool isWhitespace(char32_t c) {
  return c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Source files: the language, as the header names it.
constexpr std::array<std::pair<std::string_view, std::string_view>, 48> kLanguages = {{
    {"swift", "Swift source code"},
    {"m", "Objective-C source code"},
    {"mm", "Objective-C++ source code"},
    {"h", "C header"},
    {"hpp", "C++ header"},
    {"c", "C source code"},
    {"cpp", "C++ source code"},
    {"cc", "C++ source code"},
    {"cxx", "C++ source code"},
    {"py", "Python script"},
    {"pyw", "Python script"},
    {"pyi", "Python stub"},
    {"js", "JavaScript source code"},
    {"jsx", "JavaScript (JSX) source code"},
    {"mjs", "JavaScript module"},
    {"cjs", "JavaScript module"},
    {"ts", "TypeScript source code"},
    {"tsx", "TypeScript (TSX) source code"},
    {"java", "Java source code"},
    {"kt", "Kotlin source code"},
    {"kts", "Kotlin script"},
    {"scala", "Scala source code"},
    {"rs", "Rust source code"},
    {"go", "Go source code"},
    {"rb", "Ruby script"},
    {"php", "PHP script"},
    {"cs", "C# source code"},
    {"fs", "F# source code"},
    {"vb", "Visual Basic source code"},
    {"lua", "Lua script"},
    {"pl", "Perl script"},
    {"r", "R script"},
    {"jl", "Julia source code"},
    {"sh", "shell script"},
    {"bash", "Bash script"},
    {"zsh", "Zsh script"},
    {"sql", "SQL script"},
    {"html", "HTML document"},
    {"htm", "HTML document"},
    {"css", "CSS stylesheet"},
    {"json", "JSON file"},
    {"yaml", "YAML file"},
    {"yml", "YAML file"},
    {"toml", "TOML file"},
    {"xml", "XML document"},
    {"md", "Markdown document"},
    {"markdown", "Markdown document"},
    {"tex", "LaTeX document"},
}};

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string extensionOf(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  return ext;
}

}  // namespace

std::vector<TextChunk> chunkText(std::string_view text, std::size_t window, std::size_t overlap) {
  std::vector<char32_t> points;
  const std::vector<std::size_t> offsets = codePointOffsets(text, points);
  const std::size_t n = points.size();
  std::vector<TextChunk> chunks;
  std::size_t start = 0;
  while (start < n) {
    const std::size_t windowEnd = std::min(start + window, n);
    std::size_t cut = windowEnd;
    if (windowEnd < n) {
      // A newline (else a ". ") cuts only when the cut lies more than
      // `overlap` past the start: the next start must move forward.
      std::size_t found = 0;
      for (std::size_t i = windowEnd; i > start; --i) {
        if (points[i - 1] == '\n') {
          found = i;
          break;
        }
      }
      if (found <= start + overlap) {
        found = 0;
        for (std::size_t i = windowEnd; i >= start + 2; --i) {
          if (points[i - 2] == '.' && points[i - 1] == ' ') {
            found = i;
            break;
          }
        }
      }
      if (found > start + overlap) cut = found;
    }
    const bool blank = std::all_of(points.begin() + std::ptrdiff_t(start), points.begin() + std::ptrdiff_t(cut),
                                   [](char32_t c) { return isWhitespace(c); });
    if (!blank) {
      chunks.push_back(
          {std::string(text.substr(offsets[start], offsets[cut] - offsets[start])), int64_t(start), int64_t(cut)});
    }
    if (cut >= n) break;
    const std::size_t next = cut >= overlap ? cut - overlap : 0;
    if (next <= start) break;
    start = next;
  }
  return chunks;
}

namespace {

bool isSkippedName(const std::string& name, bool isDirectory, const FileExclusionFilter& filter) {
  return name.empty() || name[0] == '.' || name == "node_modules" || name == "__pycache__" ||
         filter.shouldExcludeComponent(name, isDirectory);
}

std::optional<CollectedFile> describeStat(std::string path, const struct stat& st, int64_t maxFileSize) {
  if (!S_ISREG(st.st_mode) || int64_t(st.st_size) > maxFileSize) return std::nullopt;
  return CollectedFile{std::move(path), int64_t(st.st_size),
                       double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9};
}

struct Root {
  std::string given;      // as configured
  std::string canonical;  // every link resolved
};

// A file link counts when its target is a file inside a root, reached
// through components that a walk of that root would enter; the file is
// named under the root as configured.
std::optional<CollectedFile> linkedFile(const std::string& link, const std::vector<Root>& roots,
                                        const FileExclusionFilter& filter, int64_t maxFileSize) {
  char buffer[PATH_MAX];
  if (!::realpath(link.c_str(), buffer)) return std::nullopt;  // dangling
  const std::string target = buffer;
  struct stat st {};
  if (::stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  for (const Root& root : roots) {
    if (target.size() <= root.canonical.size() || target.compare(0, root.canonical.size(), root.canonical) != 0 ||
        (target[root.canonical.size()] != '/' && root.canonical != "/")) {
      continue;
    }
    const std::string relative = target.substr(root.canonical.size() + (root.canonical == "/" ? 0 : 1));
    bool excluded = false;
    for (std::size_t start = 0; start <= relative.size() && !excluded;) {
      const std::size_t slash = relative.find('/', start);
      const bool last = slash == std::string::npos;
      excluded = isSkippedName(relative.substr(start, last ? std::string::npos : slash - start), !last, filter);
      if (last) break;
      start = slash + 1;
    }
    if (excluded) return std::nullopt;
    return describeStat((fs::path(root.given) / relative).string(), st, maxFileSize);
  }
  return std::nullopt;
}

}  // namespace

FileCollection collectFiles(const std::vector<std::string>& folders, const FileExclusionFilter& filter,
                            int64_t maxFileSize, const CancellationToken& cancelled, DirectoryOpener* opener) {
  FileCollection out;
  std::vector<Root> roots;
  for (const auto& folder : folders) {
    char buffer[PATH_MAX];
    if (::realpath(folder.c_str(), buffer)) roots.push_back({folder, buffer});
  }
  for (const auto& folder : folders) {
    std::vector<std::string> pending{folder};
    while (!pending.empty()) {
      if (cancelled.isCancelled()) return out;
      const std::string directory = std::move(pending.back());
      pending.pop_back();
      // The folder itself may be a link; what is below it is never followed.
      const int fd = opener ? opener->openDirectory(AT_FDCWD, directory.c_str(), directory)
                            : ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      DIR* listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
      if (!listing) {
        if (fd >= 0) ::close(fd);
        out.unreadableFolders.push_back(directory);
        continue;
      }
      while (true) {
        errno = 0;
        const struct dirent* entry = ::readdir(listing);
        if (!entry) {
          if (errno != 0) out.unreadableFolders.push_back(directory);  // failed part way
          break;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::fstatat(::dirfd(listing), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        const bool isDirectory = S_ISDIR(st.st_mode);
        if (isSkippedName(name, isDirectory, filter)) continue;
        const std::string path = (fs::path(directory) / name).string();
        if (isDirectory) {
          pending.push_back(path);
        } else if (S_ISLNK(st.st_mode)) {
          if (auto file = linkedFile(path, roots, filter, maxFileSize)) out.files.push_back(std::move(*file));
        } else if (auto file = describeStat(path, st, maxFileSize)) {
          out.files.push_back(std::move(*file));
        }
      }
      ::closedir(listing);
    }
  }
  auto& files = out.files;
  std::sort(files.begin(), files.end(), [](const CollectedFile& a, const CollectedFile& b) { return a.path < b.path; });
  files.erase(std::unique(files.begin(), files.end(),
                          [](const CollectedFile& a, const CollectedFile& b) { return a.path == b.path; }),
              files.end());
  return out;
}

Result<CollectedFile> describeFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Error::fromErrno("Cannot read " + path, errno);
  return CollectedFile{path, int64_t(st.st_size), double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9};
}

Result<std::string> readTextFile(const std::string& path) {
  // Text worth indexing by meaning is far smaller; a larger file is a log or a dump.
  constexpr uint64_t kMaximumTextFileSize = uint64_t{64} << 20;
  PALLIX_ASSIGN_OR_RETURN(std::string text, readRegularFile(path, kMaximumTextFileSize));
  if (text.find('\0') != std::string::npos) return Error::make("binary data (NUL bytes), not text");
  if (!isValidUTF8(text)) return Error::make("not UTF-8 text");
  return text;
}

std::string fileCategoryForExtension(std::string_view extension) {
  const std::string lower = asciiLowercase(extension);
  const auto category = fileCategoryFromExtension(lower);
  if (category == IndexedItem::FileCategory::other &&
      (lower == "app" || lower == "appimage" || lower == "desktop" || lower == "flatpakref")) {
    return "application";
  }
  return fileCategoryRawValue(category);
}

std::string fileKindDescription(std::string_view extension) {
  const std::string lower = asciiLowercase(extension);
  const std::string category = fileCategoryForExtension(lower);
  if (category == "code") {
    for (const auto& [ext, language] : kLanguages) {
      if (ext == lower) return std::string(language);
    }
    return "source code";
  }
  if (category == "document") return lower == "txt" || lower == "text" || lower == "csv" ? "text file" : "document";
  if (category == "other") return "text file";
  return category;  // image, audio, video, archive, application
}

std::string formatFileSize(int64_t bytes) {
  if (bytes == 1) return "1 byte";
  if (bytes < 1000) return std::to_string(bytes) + " bytes";
  if (bytes < 1000 * 1000) return stringPrintf("%.0f KB", double(bytes) / 1e3);
  if (bytes < 1000LL * 1000 * 1000) return stringPrintf("%.1f MB", double(bytes) / 1e6);
  return stringPrintf("%.2f GB", double(bytes) / 1e9);
}

std::string formatHeaderDate(double secondsSince1970) {
  const time_t t = static_cast<time_t>(secondsSince1970);
  std::tm tm{};
  localtime_r(&t, &tm);
  return std::string(kMonths[std::size_t(tm.tm_mon) % 12]) + " " + std::to_string(tm.tm_mday) + ", " +
         std::to_string(tm.tm_year + 1900);
}

std::string fileIdentifier(std::string_view path) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : path) hash = (hash ^ c) * 1099511628211ull;
  return stringPrintf("%016llx", static_cast<unsigned long long>(hash));
}

std::vector<ChunkInput> makeFileChunks(const CollectedFile& file, std::string_view text) {
  const std::vector<TextChunk> pieces = chunkText(text);
  const fs::path path(file.path);
  // Names are shown and embedded as text: what is not UTF-8 becomes U+FFFD
  // (the metadata keeps the path's own bytes, which open the file).
  const std::string name = toValidUtf8(path.filename().string());
  const std::string extension = toValidUtf8(extensionOf(file.path));
  const std::string folder = toValidUtf8(path.parent_path().filename().string());
  const std::string headerStart = "[" + name + " | " + fileKindDescription(extension) + " | " + folder + " | " +
                                  formatFileSize(file.size) + " | " + formatHeaderDate(file.modifiedDate) + " | Chunk ";
  const std::string id = fileIdentifier(file.path);
  const std::string category = fileCategoryForExtension(extension);
  std::vector<ChunkInput> chunks;
  chunks.reserve(pieces.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    FileChunkMetadata m;
    m.filePath = file.path;
    m.fileName = name;
    m.fileExtension = extension;
    m.fileCategory = category;
    m.chunkIndex = int64_t(i);
    m.totalChunks = int64_t(pieces.size());
    m.startOffset = pieces[i].startOffset;
    m.endOffset = pieces[i].endOffset;
    m.modifiedDate = file.modifiedDate;
    m.chunkText = pieces[i].text;
    const std::string header = headerStart + std::to_string(i + 1) + "/" + std::to_string(pieces.size()) + "]";
    chunks.push_back({id + "_" + std::to_string(i), header + "\n" + pieces[i].text, m.toMap()});
  }
  return chunks;
}

}  // namespace pallix
