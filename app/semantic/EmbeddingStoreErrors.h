// The typed errors of the embedding stores, with their descriptions.
#pragma once

#include <cstdint>
#include <string>

#include "core/Error.h"

namespace pallix {

// Error domain "SaveError".
struct SaveError {
  static constexpr const char* kDomain = "SaveError";
  enum Code { storeNotReady = 1, fileNotCreated, hnswFileNotCreated, destructiveEmptySaveBlocked };
  // "Cannot save: store not ready (index=true, ready=false)"
  static Error makeStoreNotReady(bool hasIndex, bool ready);
  // "Index file not created at PATH"
  static Error makeFileNotCreated(const std::string& path);
  // "HNSW file not created at PATH"
  static Error makeHnswFileNotCreated(const std::string& path);
  // "Blocked empty index save (previous persisted chunk count: N)"
  static Error makeDestructiveEmptySaveBlocked(int64_t previousCount);
};

// Error domain "CompressionError".
struct CompressionError {
  static constexpr const char* kDomain = "CompressionError";
  enum Code { readFailed = 1, compressionFailed, writeFailed };
  // "Failed to read file: PATH: cause"
  static Error makeReadFailed(const std::string& path, const std::string& cause);
  // "Compression failed: NAME"
  static Error makeCompressionFailed(const std::string& fileName);
  // "Failed to write compressed file: PATH: cause"
  static Error makeWriteFailed(const std::string& path, const std::string& cause);
};

// Error domain "RebuildError".
struct RebuildError {
  static constexpr const char* kDomain = "RebuildError";
  enum Code { automaticRebuildBlocked = 1 };
  // `prefix` is the store's wording, "Blocked automatic file semantic index
  // rebuild request from " or its message counterpart, followed by `source`.
  static Error makeAutomaticRebuildBlocked(const std::string& prefix, const std::string& source);
};

// Error domain "StoreFileError": why an index on disk is not used.
struct StoreFileError {
  static constexpr const char* kDomain = "StoreFileError";
  enum Code { damaged = 1, unreadable, builtWithAnotherModel };
  // "FILE is damaged (cause)"
  static Error makeDamaged(const std::string& fileName, const std::string& cause);
  // "FILE cannot be read (cause); it is kept as it is"
  static Error makeUnreadable(const std::string& fileName, const std::string& cause);
  // "the index was built with another model (what differs)"
  static Error makeBuiltWithAnotherModel(const std::string& difference);
};

inline bool isError(const Error& error, const char* domain, int code) {
  return error.domain() == domain && error.code() == code;
}

}  // namespace pallix
