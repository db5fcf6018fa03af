#include "app/semantic/EmbeddingStoreErrors.h"

namespace pallix {

Error SaveError::makeStoreNotReady(bool hasIndex, bool ready) {
  return Error(kDomain, storeNotReady,
               std::string("Cannot save: store not ready (index=") + (hasIndex ? "true" : "false") +
                   ", ready=" + (ready ? "true" : "false") + ")");
}

Error SaveError::makeFileNotCreated(const std::string& path) {
  return Error(kDomain, fileNotCreated, "Index file not created at " + path);
}

Error SaveError::makeHnswFileNotCreated(const std::string& path) {
  return Error(kDomain, hnswFileNotCreated, "HNSW file not created at " + path);
}

Error SaveError::makeDestructiveEmptySaveBlocked(int64_t previousCount) {
  return Error(kDomain, destructiveEmptySaveBlocked,
               "Blocked empty index save (previous persisted chunk count: " + std::to_string(previousCount) + ")");
}

Error CompressionError::makeReadFailed(const std::string& path, const std::string& cause) {
  return Error(kDomain, readFailed, "Failed to read file: " + path + (cause.empty() ? "" : ": " + cause));
}

Error CompressionError::makeCompressionFailed(const std::string& fileName) {
  return Error(kDomain, compressionFailed, "Compression failed: " + fileName);
}

Error CompressionError::makeWriteFailed(const std::string& path, const std::string& cause) {
  return Error(kDomain, writeFailed, "Failed to write compressed file: " + path + (cause.empty() ? "" : ": " + cause));
}

Error RebuildError::makeAutomaticRebuildBlocked(const std::string& prefix, const std::string& source) {
  return Error(kDomain, automaticRebuildBlocked, prefix + source);
}

Error StoreFileError::makeDamaged(const std::string& fileName, const std::string& cause) {
  return Error(kDomain, damaged, fileName + " is damaged (" + cause + ")");
}

Error StoreFileError::makeUnreadable(const std::string& fileName, const std::string& cause) {
  return Error(kDomain, unreadable, fileName + " cannot be read (" + cause + "); it is kept as it is");
}

Error StoreFileError::makeBuiltWithAnotherModel(const std::string& difference) {
  return Error(kDomain, builtWithAnotherModel, "the index was built with another model (" + difference + ")");
}

}  // namespace pallix
