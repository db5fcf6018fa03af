// VectorStore: where a similarity index keeps its item list on disk.
#pragma once

#include <string>
#include <vector>

#include "SimilaritySearchKit/IndexItem.h"
#include "core/Error.h"

namespace pallix {

class VectorStore {
 public:
  virtual ~VectorStore() = default;
  // Writes `items` as DIRECTORY/NAME plus the store's extension; returns the file's path.
  virtual Result<std::string> saveIndex(const std::vector<IndexItem>& items, const std::string& directory,
                                        const std::string& name) = 0;
  // Reads the items of one file, in file order.
  virtual Result<std::vector<IndexItem>> loadIndex(const std::string& path) = 0;
  // The store's files in `directory` (empty when it cannot be listed).
  virtual std::vector<std::string> listIndexes(const std::string& directory) = 0;
  // The file extension without its dot ("mmap").
  virtual std::string fileExtension() const = 0;
};

}  // namespace pallix
