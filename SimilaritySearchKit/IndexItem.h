// IndexItem and SearchResult: the value records of the similarity engine.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace pallix {

// One searchable text with its embedding and whatever its owner needs to find
// the source again (file path, chunk range, conversation...).
struct IndexItem {
  std::string id;
  std::string text;
  std::vector<float> embedding;
  std::map<std::string, std::string> metadata;

  friend bool operator==(const IndexItem&, const IndexItem&) = default;
};

// One answer of SimilarityIndex::search; a higher score is better.
struct SearchResult {
  std::string id;
  float score = 0;
  std::string text;
  std::map<std::string, std::string> metadata;
};

}  // namespace pallix
