#include "app/semantic/EmbeddingStoreFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "SimilaritySearchKit/MMapStore.h"
#include "app/semantic/EmbeddingStoreErrors.h"
#include "app/semantic/ItemImage.h"
#include "app/semantic/Lzfse.h"
#include "core/FileUtil.h"
#include "core/Strings.h"
#include "core/UUID.h"

namespace fs = std::filesystem;

namespace pallix {
namespace {

constexpr const char* kTemporaryMarker = ".tmp-";

std::string fileName(const std::string& path) {
  return fs::path(path).filename().string();
}

std::optional<uint64_t> sizeOf(const std::string& path) {
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  if (ec) return std::nullopt;
  return size;
}

void removeQuietly(const std::string& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

// A unique temporary name beside `destination`.
std::string temporaryBeside(const std::string& destination) {
  return destination + kTemporaryMarker + UUID::random().string();
}

// Copies `source` to `destination` through a temporary name and a rename.
Status copyFileAtomically(const std::string& source, const std::string& destination) {
  const std::string temp = temporaryBeside(destination);
  std::error_code ec;
  fs::copy_file(source, temp, fs::copy_options::overwrite_existing, ec);
  if (ec) {
    removeQuietly(temp);
    return CompressionError::makeWriteFailed(destination, ec.message());
  }
  int fd = ::open(temp.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    // copy_file kept the source's mode; the index holds document text.
    ::fchmod(fd, kPrivateFileMode);
    ::fsync(fd);
    ::close(fd);
  }
  if (::rename(temp.c_str(), destination.c_str()) != 0) {
    const int err = errno;
    removeQuietly(temp);
    return CompressionError::makeWriteFailed(destination, std::strerror(err));
  }
  return okStatus();
}

}  // namespace

EmbeddingStoreFiles::EmbeddingStoreFiles(std::string storeDirectory, std::string indexName, std::string temporaryRoot,
                                         const Logger& logger)
    : storeDirectory_(std::move(storeDirectory)),
      indexName_(std::move(indexName)),
      temporaryRoot_(temporaryRoot.empty() ? fs::temp_directory_path().string() : std::move(temporaryRoot)),
      logger_(logger) {}

bool EmbeddingStoreFiles::hasItemFile() const {
  return fileExists(compressedPath(itemPath())) || fileExists(itemPath());
}

bool EmbeddingStoreFiles::hasGraphFile() const {
  return fileExists(compressedPath(graphPath())) || fileExists(graphPath());
}

std::vector<StoreFileInfo> EmbeddingStoreFiles::existingFiles() const {
  std::vector<StoreFileInfo> out;
  for (const std::string& plain : {itemPath(), graphPath()}) {
    for (bool compressed : {true, false}) {
      const std::string path = compressed ? compressedPath(plain) : plain;
      if (auto size = sizeOf(path)) out.push_back({fileName(path), *size, compressed});
    }
  }
  return out;
}

Status EmbeddingStoreFiles::compressAndMove(const std::string& sourcePath, const std::string& plainDestination) const {
  const std::string compressed = compressedPath(plainDestination);
  auto size = sizeOf(sourcePath);
  if (!size) return CompressionError::makeReadFailed(sourcePath, std::strerror(ENOENT));

  auto storePlain = [&]() -> Status {
    PALLIX_RETURN_IF_ERROR(copyFileAtomically(sourcePath, plainDestination));
    removeQuietly(compressed);
    return okStatus();
  };
  if (*size <= kUncompressedLimit) return storePlain();

  const std::string temp = temporaryBeside(compressed);
  uint64_t encodedSize = 0;
  auto outcome = lzfse::encodeFile(sourcePath, temp, *size, &encodedSize);
  if (!outcome.ok()) {
    removeQuietly(temp);
    if (isError(outcome.error(), lzfse::StreamError::kDomain, lzfse::StreamError::sourceUnreadable)) {
      return CompressionError::makeReadFailed(sourcePath, outcome.error().description());
    }
    return CompressionError::makeWriteFailed(compressed, outcome.error().description());
  }
  if (outcome.value() != lzfse::FileEncodeOutcome::written) {
    return CompressionError::makeCompressionFailed(fileName(plainDestination));
  }
  if (encodedSize >= *size) {
    removeQuietly(temp);
    logger_.info("Stored uncompressed (compression not beneficial): %s", fileName(plainDestination).c_str());
    return storePlain();
  }
  if (::rename(temp.c_str(), compressed.c_str()) != 0) {
    const int err = errno;
    removeQuietly(temp);
    return CompressionError::makeWriteFailed(compressed, std::strerror(err));
  }
  removeQuietly(plainDestination);
  const double percent = 100.0 * static_cast<double>(encodedSize) / static_cast<double>(*size);
  logger_.info("Compressed %s: %ld -> %ld bytes (%s%%)", fileName(plainDestination).c_str(), static_cast<long>(*size),
               static_cast<long>(encodedSize), stringPrintf("%.1f", percent).c_str());
  return okStatus();
}

Status EmbeddingStoreFiles::decompressTo(const std::string& compressed, const std::string& destination) const {
  auto stats = lzfse::decodeFile(compressed, destination);
  if (!stats.ok()) return stats.error();
  logger_.debug("Stream decompressed %s: %llu bytes (peak ~128KB RAM)", fileName(compressed).c_str(),
                static_cast<unsigned long long>(stats->decodedBytes));
  return okStatus();
}

namespace {

// Damage is what the loader or the decoder found in bytes that could be
// read; anything else (the file could not be opened or read) leaves the
// file as it is.
Error classifyLoadFailure(const std::string& path, const Error& error) {
  const bool damaged =
      error.domain() == MMapStoreError::kDomain ||
      (error.domain() == lzfse::StreamError::kDomain && error.code() != lzfse::StreamError::sourceUnreadable);
  return damaged ? StoreFileError::makeDamaged(fileName(path), error.description())
                 : StoreFileError::makeUnreadable(fileName(path), error.description());
}

}  // namespace

Result<SalvagedItems> EmbeddingStoreFiles::loadItems() const {
  const std::string compressed = compressedPath(itemPath());
  if (fileExists(compressed)) {
    // Decoded straight into memory: the loader needs the whole image anyway,
    // and a temporary copy on disk would cost a write and a read of it.
    lzfse::DecodeStats stats;
    auto image = lzfse::decodeFileToString(compressed, &stats);
    Result<SalvagedItems> items = image.ok() ? decodeItemImage(image.value()) : Result<SalvagedItems>(image.error());
    if (image.ok()) {
      logger_.debug("Stream decompressed %s: %llu bytes (peak ~128KB RAM)", fileName(compressed).c_str(),
                    static_cast<unsigned long long>(stats.decodedBytes));
    }
    if (!items.ok()) {
      logger_.error("Failed to decompress and load: %s", items.error().description().c_str());
      return classifyLoadFailure(compressed, items.error());
    }
    return items;
  }
  if (!fileExists(itemPath())) return SalvagedItems{};
  auto image = readFileToString(itemPath());
  auto items = image.ok() ? decodeItemImage(image.value()) : Result<SalvagedItems>(image.error());
  if (!items.ok()) {
    logger_.error("Failed to load uncompressed file: %s", items.error().description().c_str());
    return classifyLoadFailure(itemPath(), items.error());
  }
  return items;
}

std::optional<std::string> EmbeddingStoreFiles::graphUnreadableReason() const {
  for (const std::string& path : {compressedPath(graphPath()), graphPath()}) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (errno != ENOENT) return fileName(path) + ": " + std::strerror(errno);
  }
  return std::nullopt;
}

Result<std::optional<std::string>> EmbeddingStoreFiles::readModelIdentity() const {
  if (!fileExists(modelIdentityPath())) return std::optional<std::string>();
  PALLIX_ASSIGN_OR_RETURN(std::string text, readFileToString(modelIdentityPath()));
  return std::optional<std::string>(std::move(text));
}

Status EmbeddingStoreFiles::writeModelIdentity(const std::string& text) const {
  return writeFileAtomically(modelIdentityPath(), text);
}

Result<std::optional<uint32_t>> EmbeddingStoreFiles::graphNodeCount() const {
  std::string header;
  const std::string compressed = compressedPath(graphPath());
  if (fileExists(compressed)) {
    PALLIX_ASSIGN_OR_RETURN(header, lzfse::decodeFilePrefix(compressed, 4));
  } else if (fileExists(graphPath())) {
    PALLIX_ASSIGN_OR_RETURN(std::string whole, readFileToString(graphPath()));
    header = whole.substr(0, 4);
  } else {
    return std::optional<uint32_t>();
  }
  if (header.size() < 4) return Error::make("HNSW file shorter than its header");
  const auto* b = reinterpret_cast<const unsigned char*>(header.data());
  return std::optional<uint32_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24);
}

Result<bool> EmbeddingStoreFiles::decompressGraphInto(const std::string& directory) const {
  const std::string compressed = compressedPath(graphPath());
  if (!fileExists(compressed)) return false;
  PALLIX_RETURN_IF_ERROR(decompressTo(compressed, directory + "/" + indexName_ + ".hnsw"));
  return true;
}

TemporaryDirectory::TemporaryDirectory(TemporaryDirectory&& other) noexcept
    : path_(std::move(other.path_)), lockFd_(std::exchange(other.lockFd_, -1)) {
  other.path_.clear();
}

TemporaryDirectory& TemporaryDirectory::operator=(TemporaryDirectory&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::move(other.path_);
    other.path_.clear();
    lockFd_ = std::exchange(other.lockFd_, -1);
  }
  return *this;
}

TemporaryDirectory::~TemporaryDirectory() {
  release();
}

void TemporaryDirectory::release() {
  // Removed before the lock goes, so no sweep can find it unlocked and half-removed.
  if (!path_.empty()) EmbeddingStoreFiles::removeDirectory(path_);
  if (lockFd_ >= 0) ::close(lockFd_);
  path_.clear();
  lockFd_ = -1;
}

Result<TemporaryDirectory> EmbeddingStoreFiles::makeTemporaryDirectory(const std::string& prefix) const {
  const std::string directory = temporaryRoot_ + "/" + prefix + UUID::random().string();
  PALLIX_RETURN_IF_ERROR(createDirectories(directory));
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    removeDirectory(directory);
    return Error::fromErrno("Cannot lock the temporary directory " + directory, err);
  }
  return TemporaryDirectory(directory, fd);
}

void EmbeddingStoreFiles::removeDirectory(const std::string& directory) {
  std::error_code ignored;
  fs::remove_all(directory, ignored);
}

void EmbeddingStoreFiles::deleteItemFiles() const {
  removeQuietly(compressedPath(itemPath()));
  removeQuietly(itemPath());
  removeQuietly(modelIdentityPath());
}

void EmbeddingStoreFiles::deleteGraphFiles() const {
  removeQuietly(compressedPath(graphPath()));
  removeQuietly(graphPath());
}

void EmbeddingStoreFiles::removeStaleTemporaries(bool besideStoreFiles) const {
  const auto cutoff = fs::file_time_type::clock::now() - kStaleTemporaryAge;
  auto isOld = [&](const fs::path& path) {
    std::error_code timeError;
    const auto written = fs::last_write_time(path, timeError);
    return !timeError && written < cutoff;
  };
  std::error_code ec;
  if (besideStoreFiles) {
    for (fs::directory_iterator it(storeDirectory_, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.rfind(indexName_ + ".", 0) == 0 && name.find(kTemporaryMarker) != std::string::npos &&
          isOld(it->path())) {
        logger_.info("Removing a temporary file left by an interrupted save: %s", name.c_str());
        removeQuietly(it->path().string());
      }
    }
  }
  for (fs::directory_iterator it(temporaryRoot_, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("Pallix-", 0) != 0 || !isOld(it->path())) continue;
    const int fd = ::open(it->path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    // Held by the process that made it: still in use, however old.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      logger_.info("Removing a temporary directory left by an interrupted save or load: %s", name.c_str());
      removeDirectory(it->path().string());
    }
    ::close(fd);
  }
}

}  // namespace pallix
