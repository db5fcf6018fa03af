#include "app/shell/RecordedSearchProviders.h"

#include <utility>

#include "app/shell/StatusReport.h"

namespace pallix {

RecordedAppSearch::RecordedAppSearch(std::shared_ptr<AppSearchProvider> inner, SourceStatistics& statistics)
    : inner_(std::move(inner)), statistics_(statistics) {}

Result<std::vector<IndexedItem>> RecordedAppSearch::fetchApps(const std::string& query) {
  ScopedQueryTimer timer(statistics_, kAppsSource);
  return inner_->fetchApps(query);
}

RecordedFileSearch::RecordedFileSearch(std::shared_ptr<FileSearchProvider> inner, SourceStatistics& statistics)
    : inner_(std::move(inner)), statistics_(statistics) {}

Result<std::vector<FileSearchResult>> RecordedFileSearch::search(const std::string& text, int limit) {
  ScopedQueryTimer timer(statistics_, kFilesSource);
  return inner_->search(text, limit);
}

RecordedSemanticSearch::RecordedSemanticSearch(std::shared_ptr<FileSemanticSearch> inner, SourceStatistics& statistics)
    : inner_(std::move(inner)), statistics_(statistics) {}

void RecordedSemanticSearch::mergeWithTextResults(std::vector<FileSearchResult> text, const std::string& query,
                                                  int limit, std::function<void(Merge)> done) {
  SourceStatistics* statistics = &statistics_;
  const MonoTime started = statistics->clock().now();
  inner_->mergeWithTextResults(std::move(text), query, limit,
                               [statistics, started, done = std::move(done)](Merge merge) {
                                 statistics->recordQuery(kSemanticFilesSource, statistics->clock().now() - started);
                                 done(std::move(merge));
                               });
}

RecordedModeSearch::RecordedModeSearch(std::shared_ptr<ModeSearchProvider> inner, std::string source,
                                       SourceStatistics& statistics)
    : inner_(std::move(inner)), source_(std::move(source)), statistics_(statistics) {
  // The session sets its handler on this provider; the inner one calls it through here.
  inner_->setResultsChangedHandler([this] { resultsChanged(); });
}

RecordedModeSearch::~RecordedModeSearch() {
  inner_->setResultsChangedHandler({});
}

void RecordedModeSearch::search(const std::string& text, std::function<void(std::vector<ModeResult>)> completion) {
  SourceStatistics* statistics = &statistics_;
  const MonoTime started = statistics->clock().now();
  inner_->search(text, [statistics, started, source = source_,
                        completion = std::move(completion)](std::vector<ModeResult> results) {
    statistics->recordQuery(source, statistics->clock().now() - started);
    completion(std::move(results));
  });
}

}  // namespace pallix
