// Fakes of the session's providers, shared by the session and panel tests.
#pragma once

#include <gtest/gtest.h>

#include <mutex>

#include "app/search/ContentViewModel.h"

namespace pallix::testing {

IndexedItem app(const std::string& name, const std::string& path) {
  IndexedItem item;
  item.itemTypeRaw = "app";
  item.name = name;
  item.searchName = name;
  for (char& c : item.searchName) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  item.path = path;
  return item;
}

FileSearchResult fileResult(const std::string& path, float score = 0.9f) {
  FileSearchResult r;
  r.item.path = path;
  r.item.name = path.substr(path.rfind('/') + 1);
  r.item.fileExtension = "pdf";
  r.relevanceScore = score;
  r.matchType = FileMatchType::prefix;
  return r;
}

// Apps whose lowercased name contains the query, in catalog order.
class FakeAppSearch : public AppSearchProvider {
 public:
  std::vector<IndexedItem> apps;
  std::vector<std::string> queries;
  std::vector<IndexedItem> saved;

  Result<std::vector<IndexedItem>> fetchApps(const std::string& query) override {
    queries.push_back(query);
    std::string q = query;
    for (char& c : q) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::vector<IndexedItem> out;
    for (const auto& a : apps) {
      if (a.searchName.find(q) != std::string::npos) out.push_back(a);
    }
    return out;
  }
  std::vector<IndexedItem> sortApps(std::vector<IndexedItem> list, const std::string&) override { return list; }
  Status saveApp(const IndexedItem& item) override {
    saved.push_back(item);
    return okStatus();
  }
};

class FakeFileSearch : public FileSearchProvider {
 public:
  Result<std::vector<FileSearchResult>> search(const std::string& text, int limit) override {
    std::lock_guard<std::mutex> lock(mutex);
    queries.push_back(text);
    EXPECT_EQ(limit, 50);
    if (fail) return Error::make("store is gone");
    if (empty) return std::vector<FileSearchResult>{};
    return std::vector<FileSearchResult>{fileResult("/home/u/" + text + ".pdf"),
                                         fileResult("/home/u/" + text + "-2.pdf")};
  }
  std::mutex mutex;
  std::vector<std::string> queries;
  bool fail = false;
  bool empty = false;
};

// Records the mode hooks and activations of one mode.
class RecordingModeSearch : public ModeSearchProvider {
 public:
  std::vector<std::string> events;
  std::vector<ModeResult> results = {{"1", "first", ""}, {"2", "second", ""}};
  void search(const std::string& text, std::function<void(std::vector<ModeResult>)> completion) override {
    events.push_back("search:" + text);
    completion(results);
  }
  bool activate(const ModeResult& result) override {
    events.push_back("activate:" + result.identifier);
    return true;
  }
  void modeDidOpen() override { events.push_back("open"); }
  void modeDidClose() override { events.push_back("close"); }
  // What the provider finds changed (a new clipboard item).
  void change(std::vector<ModeResult> now) {
    results = std::move(now);
    resultsChanged();
  }
};

}  // namespace pallix::testing
