#include "app/messages/MessageModeSearchProvider.h"

#include <chrono>

#include "app/messages/MessageText.h"
#include "core/Logger.h"
#include "core/Telemetry.h"

namespace pallix {
namespace {

constexpr size_t kDetailCharacters = 200;

std::string oneLine(std::string_view text) {
  std::string out;
  for (char c : trimWhitespaceAndNewlines(text)) out.push_back(c == '\n' || c == '\r' || c == '\t' ? ' ' : c);
  if (characterCount(out) > kDetailCharacters) return std::string(prefixCharacters(out, kDetailCharacters)) + "…";
  return out;
}

}  // namespace

MessageModeSearchProvider::MessageModeSearchProvider(std::shared_ptr<MessageSearchService> service,
                                                     TaskRunnerPtr executor, std::shared_ptr<Workspace> workspace)
    : service_(std::move(service)), executor_(std::move(executor)), workspace_(std::move(workspace)) {}

std::vector<MessageSearchResult> MessageModeSearchProvider::searchWithSemanticRules(MessageSearchService& service,
                                                                                    const std::string& text) {
  static const Logger logger("ContentViewModel");
  const auto started = std::chrono::steady_clock::now();
  std::vector<MessageSearchResult> results = service.searchTextOnly(text);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  logger.debug("Message text search took %.2fs for: '%s'", seconds, text.c_str());
  if (!service.hasEmbeddingStore() || trimWhitespaceAndNewlines(text).empty()) return results;
  if (results.empty()) {
    logger.debug("No text results, trying semantic fallback search for: '%s'", text.c_str());
    results = service.searchSemanticFallbackResults(text, semantic_rules::kDefaultResultLimit);
    if (results.empty()) logger.debug("No semantic results found for: '%s'", text.c_str());
    return results;
  }
  if (!semantic_rules::shouldRunSemanticAugmentation(text, results.size())) return results;
  logger.debug("Running semantic augmentation for text results (%ld)", long(results.size()));
  return semantic_rules::mergeTextAndSemanticResults(
      results, service.searchSemanticFallbackResults(text, semantic_rules::kDefaultResultLimit));
}

ModeResult MessageModeSearchProvider::modeResult(const MessageSearchResult& r, const std::string& query) {
  std::string sender = r.isFromMe ? "Me" : r.senderDisplayName.value_or(r.senderIdentifier);
  std::string title = sender;
  if (r.isGroupChat && r.chatDisplayName) title += " in " + *r.chatDisplayName;
  const MatchReason passage = trimWhitespaceAndNewlines(query).empty() ? MatchReason() : passageReason(r.text, query);
  std::string detail = passage.empty() ? oneLine(r.text) : passage.text;
  if (r.attachmentCount > 0) {
    detail += " [" + std::to_string(r.attachmentCount) + (r.attachmentCount == 1 ? " attachment]" : " attachments]");
  }
  ModeResult result{std::to_string(r.id), title, detail};
  result.detailHighlights = passage.highlights;
  return result;
}

void MessageModeSearchProvider::search(const std::string& text,
                                       std::function<void(std::vector<ModeResult>)> completion) {
  executor_->post([weak = weak_from_this(), text, completion = std::move(completion)] {
    auto self = weak.lock();
    if (!self) return;
    std::vector<MessageSearchResult> results = searchWithSemanticRules(*self->service_, text);
    std::vector<ModeResult> rows;
    std::map<std::string, MessageSearchResult> byID;
    for (MessageSearchResult& r : results) {
      rows.push_back(modeResult(r, text));
      byID.emplace(rows.back().identifier, std::move(r));
    }
    {
      MutexLock lock(self->mutex_);
      self->latest_ = std::move(byID);
    }
    completion(std::move(rows));
  });
}

std::optional<MessageSearchResult> MessageModeSearchProvider::resultFor(const std::string& identifier) const {
  MutexLock lock(mutex_);
  auto it = latest_.find(identifier);
  if (it == latest_.end()) return std::nullopt;
  return it->second;
}

void MessageModeSearchProvider::setOpenedURLHandler(std::function<void(const std::string&)> handler) {
  MutexLock lock(mutex_);
  openedURLHandler_ = std::move(handler);
}

bool MessageModeSearchProvider::activate(const ModeResult& result) {
  std::optional<MessageSearchResult> message = resultFor(result.identifier);
  if (!message) return false;
  const std::string url = conversationURL(message->guid);
  TelemetryService::signal("Messages.conversationOpened",
                           {{"isGroupChat", message->isGroupChat ? "1" : "0"},
                            {"hasAttachments", message->attachmentCount > 0 ? "1" : "0"}});
  std::function<void(const std::string&)> handler;
  {
    MutexLock lock(mutex_);
    handler = openedURLHandler_;
  }
  if (handler) handler(url);
  if (!workspace_) return true;
  Status opened = workspace_->openURL(url);
  if (!opened.ok()) {
    // No handler for the scheme is common on Linux; the URL was still reported.
    static const Logger logger("MessageSearchService");
    logger.info("No application opened %s: %s", url.c_str(), opened.error().description().c_str());
  }
  return true;
}

}  // namespace pallix
