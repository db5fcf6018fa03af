#include "app/intelligence/DataSource.h"

namespace pallix {

bool MutableDataSourceSwitches::isEnabled(VCRDataSourceIdentifier identifier) const {
  if (!isLocalDataSource(identifier) && !isRemoteDataSource(identifier)) return true;
  auto it = switches_.find(identifier);
  return it == switches_.end() || it->second;
}

bool FunctionDataSourceSwitches::isEnabled(VCRDataSourceIdentifier identifier) const {
  if (!isLocalDataSource(identifier) && !isRemoteDataSource(identifier)) return true;
  return read_ ? read_(identifier) : true;
}

BlockingDataSource::BlockingDataSource(VCRDataSourceIdentifier identifier,
                                       std::function<bool(const std::string&)> shouldHandle, SearchFunction search,
                                       TaskRunnerPtr worker, TaskRunnerPtr replyRunner)
    : identifier_(identifier),
      shouldHandle_(std::move(shouldHandle)),
      search_(std::move(search)),
      worker_(std::move(worker)),
      reply_(std::move(replyRunner)) {}

void BlockingDataSource::performSearch(const std::string& query, SearchCompletion completion) {
  inFlight_.cancel();
  TaskHandle handle = TaskHandle::make();
  inFlight_ = handle;
  worker_->post([search = search_, query, handle, reply = reply_, completion = std::move(completion)]() mutable {
    if (handle.isCancelled()) return;
    auto result = search(query, handle.token());
    reply->post([handle, result = std::move(result), completion = std::move(completion)]() mutable {
      if (!handle.isCancelled()) completion(std::move(result));
    });
  });
}

}  // namespace pallix
