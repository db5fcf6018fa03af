#include "cli/ResultActivation.h"

namespace pallix::cli {
namespace {

// Passes every request on and keeps the last failure, whose cause the
// session only logs.
class CauseKeepingWorkspace final : public Workspace {
 public:
  explicit CauseKeepingWorkspace(std::shared_ptr<Workspace> inner) : inner_(std::move(inner)) {}
  Status launchApplication(const ApplicationReference& app) override { return keep(inner_->launchApplication(app)); }
  Status openFile(const std::string& path) override { return keep(inner_->openFile(path)); }
  Status revealInFileManager(const std::string& path) override { return keep(inner_->revealInFileManager(path)); }
  Status openURL(const std::string& url) override { return keep(inner_->openURL(url)); }
  const Status& last() const { return last_; }

 private:
  Status keep(Status status) {
    last_ = status;
    return status;
  }
  std::shared_ptr<Workspace> inner_;
  Status last_ = okStatus();
};

std::optional<FileMatchType> matchTypeFromRaw(const std::string& raw) {
  for (auto type : {FileMatchType::exact, FileMatchType::prefix, FileMatchType::substring, FileMatchType::filterOnly,
                    FileMatchType::semantic}) {
    if (raw == fileMatchTypeRawValue(type)) return type;
  }
  return std::nullopt;
}

}  // namespace

Status activateLastResult(ContentViewModel& session, const std::shared_ptr<Workspace>& workspace, CatalogStore& catalog,
                          const LastResult& result, bool reveal) {
  PALLIX_ASSIGN_OR_RETURN(std::optional<IndexedItem> record, catalog.fetchByPath(result.path));
  if (!record) return Error::make(result.path + " is no longer in the catalog");
  auto keeper = std::make_shared<CauseKeepingWorkspace>(workspace);
  session.setWorkspace(keeper);
  bool done = false;
  if (record->itemType() == IndexedItem::ItemType::app) {
    done = session.activate(*record, reveal);
  } else {
    FileSearchResult file{*record, 0, matchTypeFromRaw(result.matchType).value_or(FileMatchType::filterOnly)};
    done = session.activate(file, reveal, /*allowStandardMode=*/true);
  }
  session.setWorkspace(workspace);
  if (done) return okStatus();
  if (!keeper->last().ok()) return keeper->last().error();
  return Error::make("the search session could not activate " + result.path);
}

}  // namespace pallix::cli
