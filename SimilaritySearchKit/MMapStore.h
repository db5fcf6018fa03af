// MMapStore: the binary item file of a similarity index ("NAME.mmap").
//
// Layout (little-endian): a 48-byte header ("SKST", version 1, item count,
// dimension, three section offsets), the embeddings as one dense float
// block, then the identifier, metadata (one JSON array) and text sections.
// SimilaritySearchKit/README.md documents it byte by byte. Saves are atomic
// (temporary file + rename); loads validate every length against the file
// size and never trust an offset. Stateless, so safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "SimilaritySearchKit/VectorStore.h"

namespace pallix {

// Error domain "MMapStoreError", one code per case.
struct MMapStoreError {
  static constexpr const char* kDomain = "MMapStoreError";
  enum Code { unsupportedVersion = 1, dimensionMismatch, corruptedData, writeError, invalidMagic, fileTooSmall };
  static Error makeUnsupportedVersion(uint32_t version);
  static Error makeDimensionMismatch(uint64_t expected, uint64_t got);
  static Error makeCorruptedData(const std::string& message);
  static Error makeWriteError(const std::string& message);
  static Error makeInvalidMagic();
  static Error makeFileTooSmall();
};

// The header fields of an item file, for inspection.
struct MMapHeader {
  uint32_t version = 0;
  uint64_t count = 0;
  uint32_t dimension = 0;
  uint64_t idsOffset = 0;
  uint64_t metadataOffset = 0;
  uint64_t textOffset = 0;
};

// A record of an item file that could not be read back (its identifier or
// text is not UTF-8, or its metadata is not a string map).
struct DroppedRecord {
  uint64_t index = 0;  // position in the file
  std::string reason;  // the description decode would have failed with
};

// What decodeSalvaging recovered from an item file.
struct SalvagedItems {
  std::vector<IndexItem> items;  // the readable records, in file order
  std::vector<DroppedRecord> dropped;
};

class MMapStore final : public VectorStore {
 public:
  static constexpr std::size_t kHeaderSize = 48;

  Result<std::string> saveIndex(const std::vector<IndexItem>& items, const std::string& directory,
                                const std::string& name) override;
  Result<std::vector<IndexItem>> loadIndex(const std::string& path) override;
  std::vector<std::string> listIndexes(const std::string& directory) override;
  std::string fileExtension() const override { return "mmap"; }
  // Saving refuses identifiers and texts that are not UTF-8 (a write error
  // naming the item), since the loader would refuse the file.

  // The file image of `items`, as saveIndex writes it.
  static Result<std::string> encode(const std::vector<IndexItem>& items);
  // The items of a file image, as loadIndex reads them.
  static Result<std::vector<IndexItem>> decode(std::string_view data);
  // The items of a file image with every unreadable record left out. Fails
  // only on damage to the file's structure (header, a length or offset
  // past the end, metadata that is not a JSON array of N elements).
  static Result<SalvagedItems> decodeSalvaging(std::string_view data);
  // The header of a file image (size, magic and version checked).
  static Result<MMapHeader> decodeHeader(std::string_view data);
};

// True when `s` is well-formed UTF-8 (no overlongs, surrogates or code points above U+10FFFF).
bool isValidUTF8(std::string_view s);

}  // namespace pallix
