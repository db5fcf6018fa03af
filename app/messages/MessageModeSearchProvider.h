// MessageModeSearchProvider: the messages mode and the standard-mode
// messages preview of the search session, over MessageSearchService.
//
// search() posts the text search to the service's executor and completes
// there (the session hops back to the main runner itself). With semantic
// message search attached to the service, an empty text search falls back
// to conversations found by meaning, and few or question-like text results
// are augmented with them (searchWithSemanticRules). Each result is a
// ModeResult whose identifier is the message ROWID; activate() opens its
// conversation URL through the workspace and reports
// "Messages.conversationOpened". The results of the latest search are kept
// so activation can find the message again. Thread-safe; always owned by a
// shared_ptr (a search still queued when it goes away is dropped).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "app/messages/MessageSearchService.h"
#include "app/platform/Workspace.h"
#include "app/search/ContentViewModel.h"
#include "core/TaskRunner.h"
#include "core/ThreadAnnotations.h"

namespace pallix {

class MessageModeSearchProvider final : public ModeSearchProvider,
                                        public std::enable_shared_from_this<MessageModeSearchProvider> {
 public:
  // `workspace` may be null (activation then only reports the URL).
  MessageModeSearchProvider(std::shared_ptr<MessageSearchService> service, TaskRunnerPtr executor,
                            std::shared_ptr<Workspace> workspace);

  void search(const std::string& text, std::function<void(std::vector<ModeResult>)> completion) override;
  bool activate(const ModeResult& result) override;

  // The full record behind a delivered ModeResult.
  std::optional<MessageSearchResult> resultFor(const std::string& identifier) const;
  // Called with each URL activate() opens (the command line prints it).
  void setOpenedURLHandler(std::function<void(const std::string&)> handler);

  // The text search and the semantic rules of the messages mode, on the
  // calling thread (the service's executor).
  static std::vector<MessageSearchResult> searchWithSemanticRules(MessageSearchService& service,
                                                                  const std::string& text);

  // How a result reads in a list: title (sender, and conversation for a
  // group) and detail (the text on one line).
  // `query`, when given, picks the passage of the text shown, its words highlighted.
  static ModeResult modeResult(const MessageSearchResult& result, const std::string& query = "");

 private:
  std::shared_ptr<MessageSearchService> service_;
  TaskRunnerPtr executor_;
  std::shared_ptr<Workspace> workspace_;
  mutable Mutex mutex_;
  std::map<std::string, MessageSearchResult> latest_ GUARDED_BY(mutex_);
  std::function<void(const std::string&)> openedURLHandler_ GUARDED_BY(mutex_);
};

}  // namespace pallix
