#include "app/clipboard/ClipboardService.h"

#include <algorithm>

#include "app/clipboard/ClipboardCapture.h"
#include "core/Logger.h"
#include "core/Strings.h"
#include "core/Telemetry.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("ClipboardService");
  return log;
}

bool isWebLink(const std::optional<std::string>& url) {
  if (!url) return false;
  std::string lower = asciiLowercase(*url);
  return startsWith(lower, "http://") || startsWith(lower, "https://");
}

std::string hostOf(const std::string& url) {
  size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  size_t end = url.find_first_of("/?#", start);
  return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool containsSecretWord(std::string_view key) {
  static constexpr std::string_view kSecretWords[] = {"token",  "code",   "key",  "signature", "sig",   "password",
                                                      "passwd", "secret", "auth", "otp",       "nonce", "session"};
  const std::string lower = asciiLowercase(key);
  for (std::string_view word : kSecretWords) {
    if (lower.find(word) != std::string::npos) return true;
  }
  return false;
}

size_t costOf(const ClipboardLinkPreviewPayload& p) {
  return p.urlString.size() + (p.title ? p.title->size() : 0) + (p.iconImageData ? p.iconImageData->size() : 0) +
         (p.previewImageData ? p.previewImageData->size() : 0);
}

}  // namespace

bool mayFetchLinkPreview(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return false;
  const size_t authorityEnd = url.find_first_of("/?#", scheme + 3);
  std::string_view authority = url.substr(
      scheme + 3, authorityEnd == std::string_view::npos ? std::string_view::npos : authorityEnd - scheme - 3);
  if (authority.find('@') != std::string_view::npos) return false;
  if (authorityEnd == std::string_view::npos) return true;
  // Keys of the query and of a fragment written like one (#access_token=...).
  const size_t keys = url.find_first_of("?#", authorityEnd);
  if (keys == std::string_view::npos) return true;
  std::string_view rest = url.substr(keys + 1);
  while (!rest.empty()) {
    const size_t end = rest.find_first_of("&;#?");
    std::string_view pair = rest.substr(0, end);
    const size_t equals = pair.find('=');
    if (equals != std::string_view::npos && containsSecretWord(pair.substr(0, equals))) return false;
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return true;
}

ClipboardService::ClipboardService(Dependencies deps)
    : runner_(std::move(deps.runner)),
      metadataRunner_(deps.metadataRunner ? std::move(deps.metadataRunner) : runner_),
      captureRunner_(deps.captureRunner ? std::move(deps.captureRunner) : runner_),
      pasteboard_(std::move(deps.pasteboard)),
      store_(std::move(deps.store)),
      linkMetadata_(std::move(deps.linkMetadata)),
      previewStore_(std::move(deps.previewStore)),
      settingsSource_(std::move(deps.settings)),
      worker_(std::make_shared<ClipboardCaptureWorker>(ClipboardCaptureWorker::Options{
          captureRunner_, metadataRunner_, pasteboard_, store_, std::move(deps.reclaimSpace)})) {
  lastObservedChangeCount_ = pasteboard_->changeCount();
  if (deps.notificationCenter) {
    auto apply = weak_.wrap([this] { applyPreferences(); });
    TaskRunnerPtr runner = runner_;
    preferencesObservation_ = ScopedObservation(*deps.notificationCenter, kPreferencesDidChange,
                                                [runner, apply](const Notification&) mutable {
                                                  if (runner->isCurrent()) {
                                                    apply();
                                                  } else {
                                                    runner->post(apply);
                                                  }
                                                });
  }
  applyPreferences();
}

ClipboardService::~ClipboardService() {
  pasteboard_->setChangeObserver(nullptr);
  pollTimer_.cancel();
  quickPoll_.cancel();
  saveTask_.cancel();
  for (auto& [url, task] : metadataTasks_) task.handle.cancel();
  worker_->cancel();
  flushPendingSave();
}

// ---- Preferences, cadence and lifecycle ----

void ClipboardService::applyPreferences() {
  settings_ = settingsSource_ ? settingsSource_() : ClipboardSettings{};
  if (semanticIndex_) semanticIndex_->setEnabled(settings_.historyEnabled && settings_.semanticSearchEnabled);
  if (!settings_.historyEnabled) {
    stopMonitoring();
    return;
  }
  startMonitoring();
  reloadHistory();
  trimOnCaptureRunner();
  pollPasteboard();
}

void ClipboardService::startMonitoring() {
  if (!monitoring_) {
    monitoring_ = true;
    // Every change the pasteboard sees triggers one immediate poll.
    auto quick = weak_.wrap([this] { scheduleQuickPoll(Duration::zero()); });
    TaskRunnerPtr runner = runner_;
    pasteboard_->setChangeObserver([runner, quick] { runner->post(quick); });
  }
  reschedulePollingTimer();
}

void ClipboardService::stopMonitoring() {
  if (monitoring_) pasteboard_->setChangeObserver(nullptr);
  monitoring_ = false;
  pollTimer_.cancel();
  quickPoll_.cancel();
}

void ClipboardService::reschedulePollingTimer() {
  pollTimer_.cancel();
  if (!monitoring_ || !settings_.historyEnabled) return;
  pollTimer_ = TaskHandle::make();
  // One handle for the whole repeating chain, so one cancel stops it.
  struct Chain {
    ClipboardService* service;
    TaskHandle handle;
    void operator()() const {
      service->pollPasteboard();
      if (handle.isCancelled()) return;
      service->runner_->postDelayedWithHandle(service->pollingInterval_, handle, service->weak_.wrap(*this));
    }
  };
  runner_->postDelayedWithHandle(pollingInterval_, pollTimer_, weak_.wrap(Chain{this, pollTimer_}));
}

void ClipboardService::scheduleQuickPoll(Duration delay) {
  if (!monitoring_) return;
  quickPoll_.cancel();
  quickPoll_ = runner_->postDelayed(delay, weak_.wrap([this] { pollPasteboard(); }));
}

void ClipboardService::setWorkMode(WorkMode mode) {
  switch (mode) {
    case WorkMode::active:
      cadence_ = PollingCadence::active;
      pollingInterval_ = kFastPollingInterval;
      break;
    case WorkMode::idle:
      cadence_ = PollingCadence::idle;
      pollingInterval_ = kSlowPollingInterval;
      break;
    case WorkMode::deepIdle:
      cadence_ = PollingCadence::deepIdle;
      pollingInterval_ = kDeepIdlePollingInterval;
      emptyHistoryAndReleaseCaches();
      break;
  }
  reschedulePollingTimer();
}

void ClipboardService::setPanelVisible(bool visible) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  isPanelVisible_ = visible;
  if (visible) {
    cadence_ = PollingCadence::active;
    pollingInterval_ = kFastPollingInterval;
    reschedulePollingTimer();
    if (settings_.historyEnabled) {
      reloadHistory();
      pollPasteboard();
    }
  } else {
    emptyHistoryAndReleaseCaches();
  }
}

void ClipboardService::handleMemoryPressure() {
  iconCache_.clear();
  linkMetadataCache_.clear();
  auto tasks = std::move(metadataTasks_);
  metadataTasks_.clear();
  for (auto& [url, task] : tasks) {
    task.handle.cancel();
    for (auto& waiter : task.waiters) waiter(std::nullopt);
  }
}

void ClipboardService::emptyHistoryAndReleaseCaches() {
  const bool changed = !history_.empty();
  history_.clear();
  history_.shrink_to_fit();
  historyLoaded_ = false;
  handleMemoryPressure();
  if (changed) notifyHistoryChanged();
}

// ---- Polling and capture ----

void ClipboardService::pollPasteboard() {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (!settings_.historyEnabled) return;
  const int64_t count = pasteboard_->changeCount();
  if (count == lastObservedChangeCount_) return;
  lastObservedChangeCount_ = count;
  ++capturesInFlight_;
  auto apply = weak_.wrap([this](std::optional<ClipboardCaptureWorker::Capture> capture) {
    --capturesInFlight_;
    if (capture) applyCapture(std::move(*capture));
  });
  std::weak_ptr<ClipboardCaptureWorker> worker = worker_;
  captureRunner_->post([worker, runner = runner_, apply]() mutable {
    std::optional<ClipboardCaptureWorker::Capture> capture;
    if (auto w = worker.lock()) capture = w->capture();
    runner->post([apply, capture = std::move(capture)]() mutable { apply(std::move(capture)); });
  });
}

void ClipboardService::applyCapture(ClipboardCaptureWorker::Capture capture) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  ClipboardItem& item = capture.item;
  if (capture.isNew) {
    if (capture.source && capture.source->icon) {
      iconCache_.put(capture.source->identifier, *capture.source->icon, capture.source->icon->size());
    }
    if (historyLoaded_) {
      history_.insert(history_.begin(), item);
      notifyHistoryChanged();
    }
    if (semanticIndex_ && item.primaryText) semanticIndex_->noteNewItem();
  } else {
    moveToFront(item, item.createdAt, item.pasteboardChangeCount);
  }
  scheduleBatchedSave();
  if (captureObserver_) captureObserver_(item, capture.isNew);
}

void ClipboardService::moveToFront(const ClipboardItem& item, Date createdAt, int64_t changeCount) {
  if (!historyLoaded_) return;
  auto it = std::find_if(history_.begin(), history_.end(), [&](const ClipboardItem& i) { return i.id == item.id; });
  ClipboardItem moved = it == history_.end() ? withoutBytes(item) : std::move(*it);
  if (it != history_.end()) history_.erase(it);
  moved.createdAt = createdAt;
  moved.pasteboardChangeCount = changeCount;
  history_.insert(history_.begin(), std::move(moved));
  notifyHistoryChanged();
}

// ---- Saving, purging, reloading ----

void ClipboardService::scheduleBatchedSave() {
  hasPendingChanges_ = true;
  ++changeGeneration_;
  saveTask_.cancel();
  saveTask_ = runner_->postDelayed(kSaveBatchDelay, weak_.wrap([this] { saveOnCaptureRunner(); }));
}

void ClipboardService::saveOnCaptureRunner() {
  auto apply = weak_.wrap([this, generation = changeGeneration_, writes = storeWrites_](
                              ClipboardCaptureWorker::Trim trim) { applyTrim(std::move(trim), generation, writes); });
  std::weak_ptr<ClipboardCaptureWorker> worker = worker_;
  captureRunner_->post([worker, limits = limits(), runner = runner_, apply]() mutable {
    auto w = worker.lock();
    if (!w) return;
    ClipboardCaptureWorker::Trim trim = w->save(limits);
    runner->post([apply, trim = std::move(trim)]() mutable { apply(std::move(trim)); });
  });
}

void ClipboardService::trimOnCaptureRunner() {
  auto apply = weak_.wrap(
      [this, writes = storeWrites_](ClipboardCaptureWorker::Trim trim) { applyTrim(std::move(trim), 0, writes); });
  std::weak_ptr<ClipboardCaptureWorker> worker = worker_;
  captureRunner_->post([worker, limits = limits(), runner = runner_, apply]() mutable {
    auto w = worker.lock();
    if (!w) return;
    ClipboardCaptureWorker::Trim trim = w->trimNow(limits);
    runner->post([apply, trim = std::move(trim)]() mutable { apply(std::move(trim)); });
  });
}

// `generation` 0: not a commit of pending changes.
void ClipboardService::applyTrim(ClipboardCaptureWorker::Trim trim, uint64_t generation, uint64_t storeWrites) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (trim.saved && generation != 0 && generation == changeGeneration_) hasPendingChanges_ = false;
  if (!trim.history || !historyLoaded_) return;
  if (storeWrites != storeWrites_) {
    // Read before a write made here since: read again.
    reloadHistory();
    return;
  }
  history_ = std::move(*trim.history);
  notifyHistoryChanged();
}

void ClipboardService::flushPendingSave() {
  saveTask_.cancel();
  // Also what a capture stored whose item has not reached this runner yet.
  Status saved = [&] {
    std::lock_guard<std::mutex> lock(worker_->storeMutex());
    return hasPendingChanges_ || store_->hasUncommittedChanges() ? store_->save() : okStatus();
  }();
  if (!saved.ok()) {
    // The writes stay in the open transaction; the next save retries them.
    report("ClipboardService.saveFailed", saved.error().description());
    return;
  }
  hasPendingChanges_ = false;
}

void ClipboardService::reclaimSpaceIfWorthIt() {
  std::weak_ptr<ClipboardCaptureWorker> worker = worker_;
  captureRunner_->post([worker] {
    if (auto w = worker.lock()) w->reclaimSpaceIfWorthIt();
  });
}

void ClipboardService::reloadHistory() {
  std::unique_lock<std::mutex> lock(worker_->storeMutex(), std::try_to_lock);
  if (!lock.owns_lock()) {
    // A capture is writing: the list is read after it, on its runner.
    auto apply = weak_.wrap([this, writes = storeWrites_](Result<std::vector<ClipboardItem>> items) {
      if (!items.ok() || writes != storeWrites_) {
        reloadHistory();
        return;
      }
      history_ = std::move(items).value();
      historyLoaded_ = true;
      notifyHistoryChanged();
    });
    std::weak_ptr<ClipboardCaptureWorker> worker = worker_;
    captureRunner_->post([worker, store = store_, runner = runner_, apply]() mutable {
      auto w = worker.lock();
      if (!w) return;
      Result<std::vector<ClipboardItem>> items = [&] {
        std::lock_guard<std::mutex> storeLock(w->storeMutex());
        return store->fetchAll();
      }();
      runner->post([apply, items = std::move(items)]() mutable { apply(std::move(items)); });
    });
    return;
  }
  auto items = store_->fetchAll();
  lock.unlock();
  if (!items.ok()) {
    report("ClipboardService.reloadHistoryFailed", items.error().description());
    return;
  }
  history_ = std::move(items).value();
  historyLoaded_ = true;
  notifyHistoryChanged();
}

void ClipboardService::notifyHistoryChanged() {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (historyObserver_) historyObserver_();
}

// ---- Reuse, delete, clear ----

bool ClipboardService::copyToPasteboard(const ClipboardItem& item) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  auto representations = [&] {
    std::lock_guard<std::mutex> lock(worker_->storeMutex());
    return store_->loadRepresentations(item.id);
  }();
  if (!representations.ok()) {
    logger().error("Pallix.ClipboardService: Cannot read the item to copy: %s",
                   representations.error().description().c_str());
    return false;
  }
  if (representations.value().empty()) return false;
  PasteboardItem out;
  for (const ClipboardRepresentation& r : representations.value()) {
    out.representations.push_back({r.typeIdentifier, r.data ? *r.data : r.stringValue.value_or("")});
  }
  out.representations.push_back({kInternalCopyMarkerType, "1"});
  auto written = pasteboard_->writeItem(out);
  if (!written.ok()) {
    logger().error("Pallix.ClipboardService: Cannot write the clipboard: %s", written.error().description().c_str());
    return false;
  }
  lastObservedChangeCount_ = written.value();
  worker_->noteOwnWrite(written.value());
  const Date reusedAt = now();
  ++storeWrites_;
  Status touched = [&] {
    std::lock_guard<std::mutex> lock(worker_->storeMutex());
    return store_->touch(item.id, reusedAt, written.value());
  }();
  if (!touched.ok()) report("ClipboardService.persistFailed", touched.error().description());
  moveToFront(item, reusedAt, written.value());
  scheduleBatchedSave();
  return true;
}

void ClipboardService::deleteItem(const ClipboardItem& item) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (item.sourceAppBundleIdentifier) iconCache_.remove(*item.sourceAppBundleIdentifier);
  if (item.detectedURLString) linkMetadataCache_.remove(*item.detectedURLString);
  ++storeWrites_;
  Status removed = [&] {
    std::lock_guard<std::mutex> lock(worker_->storeMutex());
    Status done = store_->remove(item.id);
    return done.ok() ? store_->save() : done;
  }();
  if (!removed.ok()) {
    report("ClipboardService.deleteFailed", removed.error().description(),
           {{"kind", clipboardContentKindName(item.contentKind())}});
    return;
  }
  hasPendingChanges_ = false;
  auto it = std::find_if(history_.begin(), history_.end(), [&](const ClipboardItem& i) { return i.id == item.id; });
  if (it != history_.end()) {
    history_.erase(it);
    notifyHistoryChanged();
  }
  reclaimSpaceIfWorthIt();
}

bool ClipboardService::setPinned(const ClipboardItem& item, bool pinned) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  ++storeWrites_;
  Status stored = [&] {
    std::lock_guard<std::mutex> lock(worker_->storeMutex());
    Status done = store_->setPinned(item.id, pinned);
    return done.ok() ? store_->save() : done;
  }();
  if (!stored.ok()) {
    report("ClipboardService.pinFailed", stored.error().description());
    return false;
  }
  hasPendingChanges_ = false;
  auto it = std::find_if(history_.begin(), history_.end(), [&](const ClipboardItem& i) { return i.id == item.id; });
  if (it != history_.end() && it->pinned != pinned) {
    it->pinned = pinned;
    notifyHistoryChanged();
  }
  return true;
}

void ClipboardService::clearHistory() {
  PALLIX_CHECK_SEQUENCE(sequence_);
  ++storeWrites_;
  Status removed = [&] {
    std::lock_guard<std::mutex> lock(worker_->storeMutex());
    auto done = store_->removeUnpinned();
    return done.ok() ? store_->save() : Status(done.error());
  }();
  if (!removed.ok()) {
    report("ClipboardService.clearHistoryFailed", removed.error().description());
    return;
  }
  hasPendingChanges_ = false;
  std::erase_if(history_, [](const ClipboardItem& i) { return !i.pinned; });
  handleMemoryPressure();
  notifyHistoryChanged();
  reclaimSpaceIfWorthIt();
  if (previewStore_) {
    auto previews = previewStore_;
    auto reportFailure = weak_.wrap(
        [this](std::string description) { report("ClipboardService.linkPreviewStoreWriteFailed", description); });
    TaskRunnerPtr runner = runner_;
    metadataRunner_->post([previews, runner, reportFailure]() mutable {
      Status cleared = previews->clearAll();
      if (!cleared.ok())
        runner->post([reportFailure, d = cleared.error().description()]() mutable { reportFailure(d); });
    });
  }
  TelemetryService::signal("ClipboardService.clearedHistory");
}

// ---- Link previews ----

void ClipboardService::linkMetadata(const ClipboardItem& item, bool allowFetchWhenHidden,
                                    LinkPreviewCompletion completion) {
  if (!isWebLink(item.detectedURLString)) {
    completion(std::nullopt);
    return;
  }
  const std::string url = *item.detectedURLString;
  if (auto cached = linkMetadataCache_.get(url)) {
    completion(std::move(cached));
    return;
  }
  if (auto running = metadataTasks_.find(url); running != metadataTasks_.end()) {
    running->second.waiters.push_back(std::move(completion));
    return;
  }
  if (metadataTasks_.size() >= kMaxMetadataTasks || (!previewStore_ && !linkMetadata_)) {
    completion(std::nullopt);
    return;
  }
  const bool allowFetch = linkMetadata_ && settings_.linkPreviewsEnabled && mayFetchLinkPreview(url) &&
                          (isPanelVisible_ || allowFetchWhenHidden);
  TaskHandle handle = TaskHandle::make();
  const uint64_t taskID = ++nextMetadataTaskID_;
  metadataTasks_[url] = MetadataTask{taskID, handle, {std::move(completion)}};
  auto provider = linkMetadata_;
  auto previews = previewStore_;
  const Clock* clock = &metadataRunner_->clock();
  auto finish =
      weak_.wrap([this, url, taskID](MetadataOutcome outcome) { finishMetadataTask(url, taskID, std::move(outcome)); });
  TaskRunnerPtr runner = runner_;
  metadataRunner_->postDelayedWithHandle(
      Duration::zero(), handle, [provider, previews, clock, url, allowFetch, handle, runner, finish]() mutable {
        MetadataOutcome outcome;
        if (previews) {
          auto stored = previews->loadPreview(url);
          if (stored.ok()) {
            outcome.payload = std::move(stored).value();
          } else {
            outcome.readError = stored.error();
          }
        }
        if (!outcome.payload && allowFetch && !handle.isCancelled()) {
          auto fetched = provider->fetchMetadata(url, handle.token());
          if (fetched.ok() && fetched.value().empty()) {
            fetched = Error(LinkMetadataProvider::kErrorDomain, 10, "Empty metadata response");
          }
          if (!fetched.ok()) {
            outcome.fetchError = fetched.error();
          } else {
            ClipboardLinkPreviewPayload payload;
            payload.urlString = url;
            payload.canonicalURLString = ClipboardLinkPreviewStore::canonicalURLString(url);
            payload.title = fetched.value().title;
            payload.iconImageData = fetched.value().iconImageData;
            payload.previewImageData = fetched.value().previewImageData;
            payload.createdAt = payload.lastAccessedAt = secondsSince2001(clock->wallNow());
            if (previews) {
              Status saved = previews->savePreview(payload);
              if (!saved.ok()) outcome.writeError = saved.error();
            }
            outcome.payload = std::move(payload);
          }
        }
        runner->post([finish, outcome = std::move(outcome)]() mutable { finish(std::move(outcome)); });
      });
}

std::optional<ClipboardLinkPreviewPayload> ClipboardService::storedLinkPreview(const std::string& url) const {
  if (!previewStore_) return std::nullopt;
  auto stored = previewStore_->loadPreview(url);
  if (!stored.ok()) return std::nullopt;
  return std::move(stored).value();
}

void ClipboardService::finishMetadataTask(const std::string& url, uint64_t taskID, MetadataOutcome outcome) {
  if (outcome.readError) report("ClipboardService.linkPreviewStoreReadFailed", outcome.readError->description());
  if (outcome.writeError) report("ClipboardService.linkPreviewStoreWriteFailed", outcome.writeError->description());
  if (outcome.fetchError) {
    logger().error("Pallix.ClipboardService: Link preview for %s failed: %s", hostOf(url).c_str(),
                   outcome.fetchError->description().c_str());
    TelemetryService::signal("ClipboardService.metadataFetchFailed", {{"host", hostOf(url)}});
  }
  auto it = metadataTasks_.find(url);
  // A task forgotten under memory pressure has already answered its waiters.
  if (it == metadataTasks_.end() || it->second.id != taskID) return;
  std::vector<LinkPreviewCompletion> waiters = std::move(it->second.waiters);
  metadataTasks_.erase(it);
  if (outcome.payload) linkMetadataCache_.put(url, *outcome.payload, costOf(*outcome.payload));
  for (auto& waiter : waiters) waiter(outcome.payload);
}

void ClipboardService::report(const std::string& signal, const std::string& description,
                              const std::map<std::string, std::string>& parameters) {
  logger().error("Pallix.ClipboardService: %s: %s", signal.c_str(), description.c_str());
  TelemetryService::signal(signal, parameters);
}

}  // namespace pallix
