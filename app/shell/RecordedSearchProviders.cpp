#include "app/shell/RecordedSearchProviders.h"

#include <utility>

#include "app/shell/StatusReport.h"

namespace pallix {

RecordedAppSearch::RecordedAppSearch(std::shared_ptr<AppSearchProvider> inner, SourceStatistics& statistics)
    : inner_(std::move(inner)), statistics_(statistics), slot_(statistics.slot(kAppsSource)) {}

Result<std::vector<IndexedItem>> RecordedAppSearch::fetchApps(const std::string& query) {
  ScopedQueryTimer timer(statistics_.clock(), slot_);
  return inner_->fetchApps(query);
}

RecordedFileSearch::RecordedFileSearch(std::shared_ptr<FileSearchProvider> inner, SourceStatistics& statistics)
    : inner_(std::move(inner)), statistics_(statistics), slot_(statistics.slot(kFilesSource)) {}

Result<std::vector<FileSearchResult>> RecordedFileSearch::search(const std::string& text, int limit) {
  ScopedQueryTimer timer(statistics_.clock(), slot_);
  return inner_->search(text, limit);
}

RecordedSemanticSearch::RecordedSemanticSearch(std::shared_ptr<FileSemanticSearch> inner, SourceStatistics& statistics)
    : inner_(std::move(inner)), statistics_(statistics), slot_(statistics.slot(kSemanticFilesSource)) {}

void RecordedSemanticSearch::mergeWithTextResults(std::vector<FileSearchResult> text, const std::string& query,
                                                  int limit, std::function<void(Merge)> done) {
  const Clock* clock = &statistics_.clock();
  const MonoTime started = clock->now();
  inner_->mergeWithTextResults(std::move(text), query, limit,
                               [clock, started, slot = slot_, done = std::move(done)](Merge merge) {
                                 slot.record(clock->now() - started);
                                 done(std::move(merge));
                               });
}

RecordedModeSearch::RecordedModeSearch(std::shared_ptr<ModeSearchProvider> inner, std::string source,
                                       SourceStatistics& statistics)
    : inner_(std::move(inner)), statistics_(statistics), slot_(statistics.slot(source)) {
  // The session sets its handler on this provider; the inner one calls it through here.
  inner_->setResultsChangedHandler([this] { resultsChanged(); });
}

RecordedModeSearch::~RecordedModeSearch() {
  inner_->setResultsChangedHandler({});
}

void RecordedModeSearch::search(const std::string& text, std::function<void(std::vector<ModeResult>)> completion) {
  const Clock* clock = &statistics_.clock();
  const MonoTime started = clock->now();
  inner_->search(text,
                 [clock, started, slot = slot_, completion = std::move(completion)](std::vector<ModeResult> results) {
                   slot.record(clock->now() - started);
                   completion(std::move(results));
                 });
}

}  // namespace pallix
