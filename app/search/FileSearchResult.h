// FileSearchResult: one files-mode result (a catalog record, its relevance in
// [0, 1] and how it matched). Results are identified by the record's path.
#pragma once

#include "app/search/IndexedItem.h"

namespace pallix {

// `semantic` is produced only when semantic matches are merged in.
enum class FileMatchType { exact, prefix, substring, filterOnly, semantic };

inline const char* fileMatchTypeRawValue(FileMatchType type) {
  switch (type) {
    case FileMatchType::exact:
      return "exact";
    case FileMatchType::prefix:
      return "prefix";
    case FileMatchType::substring:
      return "substring";
    case FileMatchType::filterOnly:
      return "filterOnly";
    case FileMatchType::semantic:
      return "semantic";
  }
  return "filterOnly";
}

struct FileSearchResult {
  IndexedItem item;
  float relevanceScore = 0;
  FileMatchType matchType = FileMatchType::filterOnly;
};

}  // namespace pallix
