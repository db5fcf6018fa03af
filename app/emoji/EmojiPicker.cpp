#include "app/emoji/EmojiPicker.h"

#include <algorithm>

#include "core/Logger.h"
#include "core/Telemetry.h"

namespace pallix {

EmojiPicker::EmojiPicker(std::shared_ptr<EmojiSearchService> search, std::shared_ptr<EmojiUsageStore> usage,
                         std::shared_ptr<EmojiInsertionController> insertion, TaskRunnerPtr main, TaskRunnerPtr worker)
    : search_(std::move(search)),
      usage_(std::move(usage)),
      insertion_(std::move(insertion)),
      main_(std::move(main)),
      worker_(std::move(worker)) {}

std::vector<EmojiSearchMatch> EmojiPicker::searchNow(const std::string& text, std::optional<int> limit) {
  return search_->search(text, usage_->recentIdentifiers(), usage_->preferredSkinTone(), limit);
}

namespace {

std::string_view trimmedQuery(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

ModeResult modeResult(const EmojiSearchMatch& m, std::string group) {
  ModeResult result{m.entry.id, m.entry.character + " " + m.entry.shortName, m.isRecent ? "recent" : m.entry.category};
  result.group = std::move(group);
  return result;
}

// The empty query's grid: the recents, then the categories in the order the
// catalog first names them, each keeping the catalog's order.
std::vector<ModeResult> groupedResults(const std::vector<EmojiSearchMatch>& matches) {
  std::vector<ModeResult> results;
  results.reserve(matches.size());
  std::vector<std::string> categories;
  for (const EmojiSearchMatch& m : matches) {
    if (m.isRecent) {
      results.push_back(modeResult(m, EmojiPicker::kRecentGroup));
    } else if (std::find(categories.begin(), categories.end(), m.entry.category) == categories.end()) {
      categories.push_back(m.entry.category);
    }
  }
  for (const std::string& category : categories) {
    for (const EmojiSearchMatch& m : matches) {
      if (!m.isRecent && m.entry.category == category) results.push_back(modeResult(m, category));
    }
  }
  return results;
}

}  // namespace

void EmojiPicker::search(const std::string& text, std::function<void(std::vector<ModeResult>)> completion) {
  auto recents = usage_->recentIdentifiers();
  auto tone = usage_->preferredSkinTone();
  auto service = search_;
  TaskRunnerPtr main = main_;
  worker_->post([service, text, recents, tone, main, completion]() mutable {
    const bool browsing = trimmedQuery(text).empty();
    std::vector<EmojiSearchMatch> matches =
        service->search(text, recents, tone, browsing ? std::nullopt : std::optional<int>(kQueryResultLimit));
    std::vector<ModeResult> results;
    if (browsing) {
      results = groupedResults(matches);
    } else {
      results.reserve(matches.size());
      for (const EmojiSearchMatch& m : matches) results.push_back(modeResult(m, ""));
    }
    main->post([completion, results = std::move(results)]() mutable { completion(std::move(results)); });
  });
}

void EmojiPicker::preload(std::function<void(size_t entries, int64_t bytes)> loaded) {
  auto service = search_;
  worker_->post([service, loaded = std::move(loaded)] {
    auto [entries, bytes] = service->footprint();
    if (loaded) loaded(entries, bytes);
  });
}

void EmojiPicker::setFocusReturn(std::shared_ptr<KeyboardFocusReturn> focusReturn, TaskRunnerPtr typing) {
  focusReturn_ = std::move(focusReturn);
  typing_ = std::move(typing);
}

bool EmojiPicker::activate(const ModeResult& result) {
  if (!focusReturn_ || !typing_ || !insertion_->canTypeDirectly()) {
    auto outcome = pick(result.identifier);
    return outcome && outcome->succeeded();
  }
  auto entry = search_->entryFor(result.identifier);
  if (!entry) return false;
  std::string character = entry->withPreferredSkinTone(preferredSkinTone()).character;
  auto insertion = insertion_;
  auto focus = focusReturn_;
  TaskRunnerPtr main = main_;
  auto done = weak_.wrap(
      [this, id = entry->id](std::string character, bool focused, EmojiInsertionOutcome outcome, std::string failure) {
        if (focused) {
          finish(id, std::move(character), outcome, failure);
          return;
        }
        // Typed now, the emoji would land in whatever window has the keyboard.
        static const Logger log("EmojiPicker");
        log.error("The keyboard did not come back to the previous window; the emoji is copied instead");
        std::string copyFailure;
        EmojiInsertionOutcome copied = insertion_->copy(character, copyFailure);
        finish(id, std::move(character), copied, copyFailure);
      });
  typing_->post([insertion, focus, main, done, character]() mutable {
    const bool focused = focus->waitForReturn(kFocusReturnTimeout);
    std::string failure;
    EmojiInsertionOutcome outcome = focused ? insertion->type(character, failure) : EmojiInsertionOutcome::typingFailed;
    main->post([done, character, focused, outcome, failure]() mutable { done(character, focused, outcome, failure); });
  });
  return true;
}

std::optional<EmojiPickOutcome> EmojiPicker::pick(const std::string& idOrCharacter) {
  auto entry = search_->entryFor(idOrCharacter);
  if (!entry) return std::nullopt;
  return pick(*entry);
}

EmojiPickOutcome EmojiPicker::pick(const EmojiEntry& entry) {
  std::string character = entry.withPreferredSkinTone(preferredSkinTone()).character;
  EmojiInsertionOutcome outcome = insertion_->insert(character);
  return finish(entry.id, std::move(character), outcome, insertion_->lastFailure());
}

EmojiPickOutcome EmojiPicker::finish(const std::string& id, std::string character, EmojiInsertionOutcome outcome,
                                     const std::string& failure) {
  EmojiPickOutcome result{outcome, std::move(character), ""};
  switch (result.outcome) {
    case EmojiInsertionOutcome::typed: {
      Status recorded = usage_->recordUsage(id);
      if (!recorded.ok()) {
        static const Logger log("EmojiUsageStore");
        log.error("Cannot record the use of an emoji: %s", recorded.error().description().c_str());
      }
      break;
    }
    case EmojiInsertionOutcome::copied:
      result.message = kCopiedMessage;
      break;
    case EmojiInsertionOutcome::typingFailed:
    case EmojiInsertionOutcome::copyFailed: {
      const bool typing = result.outcome == EmojiInsertionOutcome::typingFailed;
      result.message = (typing ? EmojiInsertionError::eventPostFailed() : EmojiInsertionError::pasteboardWriteFailed())
                           .description();
      TelemetryService::signal("EmojiInsertionController.failure",
                               {{"source", "emoji-picker"}, {"reason", emojiInsertionOutcomeName(result.outcome)}});
      static const Logger log("EmojiInsertionController");
      log.error("%s (%s)", result.message.c_str(), failure.c_str());
      break;
    }
  }
  lastOutcome_ = result;
  if (outcomeHandler_) outcomeHandler_(result);
  return result;
}

Status EmojiPicker::setPreferredSkinTone(std::optional<EmojiSkinTone> tone) {
  if (tone == usage_->preferredSkinTone()) return okStatus();
  PALLIX_RETURN_IF_ERROR(usage_->updatePreferredSkinTone(tone));
  TelemetryService::signal("EmojiPicker.skinTonePreferenceChanged", {{"tone", tone ? skinToneName(*tone) : "none"}});
  return okStatus();
}

}  // namespace pallix
