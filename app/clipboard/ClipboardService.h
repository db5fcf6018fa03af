// ClipboardService: the clipboard history.
//
// It watches the clipboard (a repeating poll at the work mode's cadence, plus
// a quick poll whenever the pasteboard reports a change), records every
// distinct copied item with all its representations in ClipboardStore,
// keeps the newest-first `history` for the panel's clipboard mode, puts old
// items back on the clipboard, forgets items after the retention period and
// keeps link previews of copied web links (ClipboardLinkPreviewStore, fetched
// through the LinkMetadataProvider when clipboard mode first shows the link,
// never on copy, so that copying a sign-in link sends nothing).
//
// It never records its own writes (the internal-copy and emoji marker types
// and the change counter of its last write), and never records, hashes or
// logs an item a password manager marked as secret.
//
// Threading: every public operation, timer and observer runs on `runner`
// (the main runner of the process). Capturing a copy does not: reading the
// pasteboard's representations, hashing and de-duplicating them, inserting
// the record, and the batched commits with the expiry and size trims that
// follow them, run on `captureRunner` (ClipboardCaptureWorker); the service
// only polls the change counter and receives the finished item, so a 50 MB
// copy never holds up `runner`. The store is used on both runners under the
// worker's store lock: on `runner` only for what the user asks for (listing
// on show, reuse, delete, clear); a listing that would wait for a capture in
// progress is read on `captureRunner` instead. Link previews are loaded,
// fetched and written on `metadataRunner`, as is the reclaim of free space;
// results come back on `runner`. The pasteboard's change observer only
// posts to `runner`.
// Ownership: the service owns its timers, caches and capture worker; it
// shares the pasteboard, store, provider and preview store with its creator
// (ClipboardServices), which keeps the store until `captureRunner` has
// stopped.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/clipboard/ClipboardCaptureWorker.h"
#include "app/clipboard/ClipboardItem.h"
#include "app/clipboard/ClipboardItemFacts.h"
#include "app/clipboard/ClipboardLinkPreviewStore.h"
#include "app/clipboard/ClipboardSemanticIndex.h"
#include "app/clipboard/ClipboardStore.h"
#include "app/clipboard/CostLimitedCache.h"
#include "app/platform/LinkMetadataProvider.h"
#include "app/platform/Pasteboard.h"
#include "app/preferences/ClipboardSettings.h"
#include "core/NotificationCenter.h"
#include "core/SequenceChecker.h"
#include "core/TaskRunner.h"
#include "core/WorkMode.h"

namespace pallix {

// Whether a link's page may be asked for a preview: not when the link holds
// a user name or password, or a query or fragment key that carries a secret
// (a token, code, key, signature or password), as one-time sign-in and reset
// links do: asking for the page could use it up.
bool mayFetchLinkPreview(std::string_view url);

class ClipboardService {
 public:
  static constexpr Duration kFastPollingInterval = std::chrono::milliseconds(200);
  static constexpr Duration kSlowPollingInterval = std::chrono::seconds(1);
  static constexpr Duration kDeepIdlePollingInterval = std::chrono::seconds(3);
  static constexpr Duration kPurgeCheckInterval = ClipboardCaptureWorker::kPurgeCheckInterval;
  static constexpr Duration kSaveBatchDelay = std::chrono::milliseconds(150);
  static constexpr Duration kQuickPollDelay = std::chrono::milliseconds(30);
  static constexpr size_t kMaxMetadataTasks = 24;
  static constexpr int64_t kReclaimMinimumBytes = ClipboardCaptureWorker::kReclaimMinimumBytes;
  static constexpr size_t kIconCacheCount = 24, kIconCacheCost = 4 << 20;
  static constexpr size_t kLinkMetadataCacheCount = 16, kLinkMetadataCacheCost = 8 << 20;
  static constexpr const char* kPreferencesDidChange = "ClipboardPreferencesDidChange";

  enum class PollingCadence { active, idle, deepIdle };

  struct Dependencies {
    TaskRunnerPtr runner;
    TaskRunnerPtr metadataRunner;  // defaults to `runner`
    TaskRunnerPtr captureRunner;   // serial; defaults to `runner`
    std::shared_ptr<Pasteboard> pasteboard;
    std::shared_ptr<ClipboardStore> store;
    std::shared_ptr<LinkMetadataProvider> linkMetadata;       // optional: no fetching without it
    std::shared_ptr<ClipboardLinkPreviewStore> previewStore;  // optional
    std::function<ClipboardSettings()> settings;              // read at start and on every change
    // Optional: gives the space of deleted items back to the file system.
    // Runs on `metadataRunner` (it may take a while); ClipboardStore's
    // reclaimableBytes() says when it is worth it.
    std::function<Status()> reclaimSpace;
    NotificationCenter* notificationCenter = &NotificationCenter::defaultCenter();
  };

  using LinkPreviewCompletion = std::function<void(std::optional<ClipboardLinkPreviewPayload>)>;

  // Subscribes to "ClipboardPreferencesDidChange" and applies the preferences.
  explicit ClipboardService(Dependencies dependencies);
  ~ClipboardService();
  ClipboardService(const ClipboardService&) = delete;
  ClipboardService& operator=(const ClipboardService&) = delete;

  const std::vector<ClipboardItem>& history() const { return history_; }
  bool isPanelVisible() const { return isPanelVisible_; }
  bool isMonitoring() const { return monitoring_; }
  PollingCadence currentPollingCadence() const { return cadence_; }
  Duration currentPollingInterval() const { return pollingInterval_; }
  int64_t lastObservedChangeCount() const { return lastObservedChangeCount_; }
  // Captured or reused items not yet committed (or whose commit is on its way).
  bool hasPendingChanges() const { return hasPendingChanges_; }
  // Polls whose capture has not come back yet.
  size_t capturesInFlight() const { return capturesInFlight_; }

  void setPanelVisible(bool visible);
  void setWorkMode(WorkMode mode);
  void handleMemoryPressure();
  void applyPreferences();

  // Reuses an item: puts all its representations back on the clipboard.
  bool copyToPasteboard(const ClipboardItem& item);
  void deleteItem(const ClipboardItem& item);
  // Pins or unpins an item; returns whether the store took it.
  bool setPinned(const ClipboardItem& item, bool pinned);
  // Deletes every item but the pinned ones.
  void clearHistory();
  // Loads the full history from the store (the panel does it when shown).
  void reloadHistory();

  void pollPasteboard();
  // The copy shortcut: one poll shortly after, replacing a pending one.
  void handleCopyKeyEvent() { scheduleQuickPoll(kQuickPollDelay); }
  // Commits a pending batched save now, on the calling runner (before the
  // process ends); it waits for a capture that is writing to the store.
  void flushPendingSave();

  // Link previews of an item's web link: the cached one, else the stored
  // one, else (when the panel is visible or `allowFetchWhenHidden`, previews
  // are on and mayFetchLinkPreview allows it) a fetch. `completion` runs on
  // the service's runner, with nullopt when there is none.
  void linkMetadata(const ClipboardItem& item, bool allowFetchWhenHidden, LinkPreviewCompletion completion);
  // The stored preview of a link, without fetching; nullopt when there is
  // none (or no preview store). Reads the file on the calling thread.
  std::optional<ClipboardLinkPreviewPayload> storedLinkPreview(const std::string& url) const;
  // What an item's bytes say (an image's size and bytes, copied files),
  // read on the capture runner under the store lock (the history holds no
  // bytes); `completion` runs on the service's runner, with null when the
  // item cannot be read. Implemented in ClipboardServiceContent.cpp.
  void loadContent(const ClipboardItem& item,
                   std::function<void(std::shared_ptr<const ClipboardItemContent>)> completion);
  // The wall clock of the service's runner.
  Date now() const { return runner_->clock().wallNow(); }
  size_t linkPreviewTasksInFlight() const { return metadataTasks_.size(); }

  // Search by meaning: the service switches the index with the preferences
  // and tells it of each new text item. Optional; set once, after creation.
  void setSemanticIndex(std::shared_ptr<ClipboardSemanticIndex> index) {
    semanticIndex_ = std::move(index);
    if (semanticIndex_) semanticIndex_->setEnabled(settings_.historyEnabled && settings_.semanticSearchEnabled);
  }
  const std::shared_ptr<ClipboardSemanticIndex>& semanticIndex() const { return semanticIndex_; }
  // The capture worker, whose store lock guards every use of the store.
  const std::shared_ptr<ClipboardCaptureWorker>& captureWorker() const { return worker_; }

  // Observers for the views and the command line, on the service's runner.
  void setHistoryObserver(std::function<void()> observer) { historyObserver_ = std::move(observer); }
  void setCaptureObserver(std::function<void(const ClipboardItem&, bool isNew)> observer) {
    captureObserver_ = std::move(observer);
  }

 private:
  struct MetadataTask {
    uint64_t id = 0;
    TaskHandle handle;
    std::vector<LinkPreviewCompletion> waiters;
  };
  struct MetadataOutcome {
    std::optional<ClipboardLinkPreviewPayload> payload;
    std::optional<Error> readError, fetchError, writeError;
  };

  void startMonitoring();
  void stopMonitoring();
  void reschedulePollingTimer();
  void scheduleQuickPoll(Duration delay);
  void applyCapture(ClipboardCaptureWorker::Capture capture);
  void moveToFront(const ClipboardItem& item, Date createdAt, int64_t changeCount);
  void scheduleBatchedSave();
  // Commits, expires and trims on the capture runner.
  void saveOnCaptureRunner();
  void trimOnCaptureRunner();
  void applyTrim(ClipboardCaptureWorker::Trim trim, uint64_t generation, uint64_t storeWrites);
  void reclaimSpaceIfWorthIt();
  ClipboardCaptureWorker::Limits limits() const { return {settings_.retentionDays, settings_.maxStorageBytes}; }
  void emptyHistoryAndReleaseCaches();
  void notifyHistoryChanged();
  void finishMetadataTask(const std::string& url, uint64_t taskID, MetadataOutcome outcome);
  MetadataOutcome loadOrFetchPreview(const std::string& url, bool allowFetch, const CancellationToken& cancel);
  void report(const std::string& signal, const std::string& description,
              const std::map<std::string, std::string>& parameters = {});

  TaskRunnerPtr runner_;
  TaskRunnerPtr metadataRunner_;
  TaskRunnerPtr captureRunner_;
  SequenceChecker sequence_{runner_.get(), "ClipboardService"};
  std::shared_ptr<Pasteboard> pasteboard_;
  std::shared_ptr<ClipboardStore> store_;
  std::shared_ptr<LinkMetadataProvider> linkMetadata_;
  std::shared_ptr<ClipboardLinkPreviewStore> previewStore_;
  std::function<ClipboardSettings()> settingsSource_;
  std::shared_ptr<ClipboardCaptureWorker> worker_;
  std::shared_ptr<ClipboardSemanticIndex> semanticIndex_;
  ClipboardSettings settings_;

  std::vector<ClipboardItem> history_;
  bool historyLoaded_ = false;
  bool isPanelVisible_ = false;
  bool monitoring_ = false;
  PollingCadence cadence_ = PollingCadence::idle;
  Duration pollingInterval_ = kSlowPollingInterval;
  int64_t lastObservedChangeCount_ = 0;
  bool hasPendingChanges_ = false;
  size_t capturesInFlight_ = 0;
  // Moves with every change waiting for a commit, so that a commit reply
  // clears hasPendingChanges_ only when nothing came after it.
  uint64_t changeGeneration_ = 0;
  // Moves with every store write made on `runner`, so that a list the
  // capture runner read before it is not shown.
  uint64_t storeWrites_ = 0;
  TaskHandle pollTimer_;
  TaskHandle quickPoll_;
  TaskHandle saveTask_;

  CostLimitedCache<std::string, std::string> iconCache_{kIconCacheCount, kIconCacheCost};
  CostLimitedCache<std::string, ClipboardLinkPreviewPayload> linkMetadataCache_{kLinkMetadataCacheCount,
                                                                                kLinkMetadataCacheCost};
  std::map<std::string, MetadataTask> metadataTasks_;
  uint64_t nextMetadataTaskID_ = 0;

  std::function<void()> historyObserver_;
  std::function<void(const ClipboardItem&, bool)> captureObserver_;
  ScopedObservation preferencesObservation_;
  // Last member: callbacks posted to the runners die with the service.
  WeakGuard weak_;
};

}  // namespace pallix
