// Recorded search providers: the search session's providers, each wrapped
// so that every query's duration goes to SourceStatistics under the
// source's name (`pallix status`, the Status page). The time runs from the
// call to the answer, on the clock of the statistics (the work modes' clock
// in the agents), on whichever runner the provider is called and answers.
//
// AppRuntime wraps the providers it attaches; each wrapper forwards
// everything else to the provider it owns a share of.
#pragma once

#include <memory>
#include <string>

#include "app/search/SessionProviders.h"
#include "core/SourceStatistics.h"

namespace pallix {

class RecordedAppSearch final : public AppSearchProvider {
 public:
  RecordedAppSearch(std::shared_ptr<AppSearchProvider> inner, SourceStatistics& statistics);
  Result<std::vector<IndexedItem>> fetchApps(const std::string& query) override;
  std::vector<IndexedItem> sortApps(std::vector<IndexedItem> apps, const std::string& normalizedQuery) override {
    return inner_->sortApps(std::move(apps), normalizedQuery);
  }
  Status saveApp(const IndexedItem& app) override { return inner_->saveApp(app); }

 private:
  std::shared_ptr<AppSearchProvider> inner_;
  SourceStatistics& statistics_;
  SourceStatistics::QuerySlot slot_;
};

class RecordedFileSearch final : public FileSearchProvider {
 public:
  RecordedFileSearch(std::shared_ptr<FileSearchProvider> inner, SourceStatistics& statistics);
  Result<std::vector<FileSearchResult>> search(const std::string& text, int limit) override;

 private:
  std::shared_ptr<FileSearchProvider> inner_;
  SourceStatistics& statistics_;
  SourceStatistics::QuerySlot slot_;
};

class RecordedSemanticSearch final : public FileSemanticSearch {
 public:
  RecordedSemanticSearch(std::shared_ptr<FileSemanticSearch> inner, SourceStatistics& statistics);
  bool isEnabled() const override { return inner_->isEnabled(); }
  void status(std::function<void(SemanticIndexStatus)> done) override { inner_->status(std::move(done)); }
  void canPerformSearch(std::function<void(bool)> done) override { inner_->canPerformSearch(std::move(done)); }
  void mergeWithTextResults(std::vector<FileSearchResult> text, const std::string& query, int limit,
                            std::function<void(Merge)> done) override;

 private:
  std::shared_ptr<FileSemanticSearch> inner_;
  SourceStatistics& statistics_;
  SourceStatistics::QuerySlot slot_;
};

// A mode's provider; the inner provider's result changes reach the session
// through this one.
class RecordedModeSearch final : public ModeSearchProvider {
 public:
  RecordedModeSearch(std::shared_ptr<ModeSearchProvider> inner, std::string source, SourceStatistics& statistics);
  ~RecordedModeSearch() override;
  RecordedModeSearch(const RecordedModeSearch&) = delete;
  RecordedModeSearch& operator=(const RecordedModeSearch&) = delete;
  void search(const std::string& text, std::function<void(std::vector<ModeResult>)> completion) override;
  bool activate(const ModeResult& result) override { return inner_->activate(result); }
  bool deliversAfterHiding() const override { return inner_->deliversAfterHiding(); }
  void modeDidOpen() override { inner_->modeDidOpen(); }
  void modeDidClose() override { inner_->modeDidClose(); }
  bool perform(ModeCommand command, const ModeResult& result) override { return inner_->perform(command, result); }

 private:
  std::shared_ptr<ModeSearchProvider> inner_;
  SourceStatistics& statistics_;
  SourceStatistics::QuerySlot slot_;
};

}  // namespace pallix
