#include "app/clipboard/ClipboardCaptureWorker.h"

#include "app/clipboard/ClipboardCapture.h"
#include "core/Logger.h"
#include "core/Telemetry.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("ClipboardService");
  return log;
}

void report(const std::string& signal, const std::string& description) {
  logger().error("Pallix.ClipboardService: %s: %s", signal.c_str(), description.c_str());
  TelemetryService::signal(signal);
}

}  // namespace

ClipboardCaptureWorker::ClipboardCaptureWorker(Options options) : options_(std::move(options)) {}

std::optional<ClipboardCaptureWorker::Capture> ClipboardCaptureWorker::capture() {
  if (cancelled_.load()) return std::nullopt;
  const int64_t changeCount = options_.pasteboard->changeCount();
  if (changeCount == ownWriteChangeCount_.load()) return std::nullopt;
  auto item = options_.pasteboard->readItem();
  if (!item.ok()) {
    // The item is skipped; the history is untouched.
    logger().error("Pallix.ClipboardService: Cannot read the clipboard: %s", item.error().description().c_str());
    return std::nullopt;
  }
  if (!item.value()) return std::nullopt;
  return record(*item.value(), changeCount);
}

std::optional<ClipboardCaptureWorker::Capture> ClipboardCaptureWorker::record(const PasteboardItem& item,
                                                                              int64_t changeCount) {
  if (item.hasType(kEmojiMarkerType) || item.hasType(kInternalCopyMarkerType)) return std::nullopt;
  if (item.isConcealed()) return std::nullopt;
  std::vector<ClipboardRepresentation> representations = extractRepresentations(item);
  if (representations.empty()) return std::nullopt;
  std::optional<std::string> primaryText = derivePrimaryText(representations);
  std::optional<std::string> url = deriveURL(representations, primaryText);
  std::optional<std::string> hash = computeHash(representations);
  const Date capturedAt = options_.runner->clock().wallNow();

  if (hash) {
    std::lock_guard<std::mutex> lock(storeMutex_);
    if (cancelled_.load()) return std::nullopt;
    auto existing = options_.store->findByHash(*hash);
    if (!existing.ok()) {
      report("ClipboardService.persistFailed", existing.error().description());
      return std::nullopt;
    }
    if (existing.value()) {
      ClipboardItem found = std::move(*existing.value());
      Status touched = options_.store->touch(found.id, capturedAt, changeCount);
      if (!touched.ok()) {
        report("ClipboardService.persistFailed", touched.error().description());
        return std::nullopt;
      }
      found.createdAt = capturedAt;
      found.pasteboardChangeCount = changeCount;
      return Capture{withoutBytes(std::move(found)), false, std::nullopt};
    }
  }

  ClipboardItem record;
  record.createdAt = capturedAt;
  record.pasteboardChangeCount = changeCount;
  record.contentHash = hash;
  std::optional<FrontmostApplication> source = options_.pasteboard->frontmostApplication();
  if (source) {
    record.sourceAppBundleIdentifier = source->identifier;
    record.sourceAppName = source->name;
  }
  record.updatePrimaryText(primaryText);
  record.detectedURLString = url;
  record.contentKindRaw = static_cast<int>(determineContentKind(representations, url, primaryText));
  record.representations = std::move(representations);
  std::lock_guard<std::mutex> lock(storeMutex_);
  if (cancelled_.load()) return std::nullopt;
  Status inserted = options_.store->insert(record);
  if (!inserted.ok()) {
    report("ClipboardService.persistFailed", inserted.error().description());
    options_.store->discardUncommitted();
    return std::nullopt;
  }
  grewSinceLimitCheck_ = true;
  return Capture{withoutBytes(std::move(record)), true, std::move(source)};
}

ClipboardCaptureWorker::Trim ClipboardCaptureWorker::save(Limits limits) {
  Trim trim;
  {
    std::lock_guard<std::mutex> lock(storeMutex_);
    Status saved = options_.store->save();
    if (!saved.ok()) {
      // The writes stay in the open transaction; the next save retries them.
      report("ClipboardService.saveFailed", saved.error().description());
      trim.saved = false;
      return trim;
    }
  }
  const Date now = options_.runner->clock().wallNow();
  if (!lastPurgeCheckDate_ || now - *lastPurgeCheckDate_ >= kPurgeCheckInterval) purgeExpired(limits, trim);
  enforceStorageLimit(limits, trim);
  return trim;
}

ClipboardCaptureWorker::Trim ClipboardCaptureWorker::trimNow(Limits limits) {
  Trim trim;
  purgeExpired(limits, trim);
  grewSinceLimitCheck_ = true;  // the limit may have been lowered
  enforceStorageLimit(limits, trim);
  return trim;
}

void ClipboardCaptureWorker::purgeExpired(const Limits& limits, Trim& trim) {
  const Date now = options_.runner->clock().wallNow();
  lastPurgeCheckDate_ = now;
  if (limits.retentionDays <= 0) return;
  const Date cutoff = now - std::chrono::hours(24) * limits.retentionDays;
  removeAndReload([&] { return options_.store->removeCreatedBefore(cutoff); }, trim);
}

int64_t ClipboardCaptureWorker::removeAndReload(const std::function<Result<int64_t>()>& remove, Trim& trim) {
  std::unique_lock<std::mutex> lock(storeMutex_);
  auto removed = remove();
  Status saved = removed.ok() ? options_.store->save() : Status(removed.error());
  if (!saved.ok()) {
    lock.unlock();
    report("ClipboardService.trimFailed", saved.error().description());
    return 0;
  }
  if (removed.value() == 0) return 0;
  auto items = options_.store->fetchAll();
  lock.unlock();
  if (items.ok()) trim.history = std::move(items).value();
  reclaimSpaceIfWorthIt();
  return removed.value();
}

void ClipboardCaptureWorker::enforceStorageLimit(const Limits& limits, Trim& trim) {
  if (!grewSinceLimitCheck_ || limits.maxStorageBytes <= 0) return;
  grewSinceLimitCheck_ = false;
  const int64_t removed =
      removeAndReload([&] { return options_.store->removeOldestBeyond(limits.maxStorageBytes); }, trim);
  if (removed > 0) {
    logger().info("Removed the %lld oldest clipboard items to stay within %lld MB", static_cast<long long>(removed),
                  static_cast<long long>(limits.maxStorageBytes >> 20));
  }
}

void ClipboardCaptureWorker::reclaimSpaceIfWorthIt() {
  if (!options_.reclaimSpace || reclaiming_) return;
  Result<std::pair<int64_t, int64_t>> space = [&] {
    std::lock_guard<std::mutex> lock(storeMutex_);
    return options_.store->reclaimableSpace();
  }();
  if (!space.ok()) {
    report("ClipboardService.reclaimFailed", space.error().description());
    return;
  }
  const auto [freeBytes, fileBytes] = space.value();
  if (freeBytes < kReclaimMinimumBytes || freeBytes * 4 < fileBytes) return;
  reclaiming_ = true;
  std::weak_ptr<ClipboardCaptureWorker> weak = weak_from_this();
  options_.metadataRunner->post([reclaim = options_.reclaimSpace, runner = options_.runner, weak] {
    Status done = reclaim();
    if (!done.ok()) report("ClipboardService.reclaimFailed", done.error().description());
    runner->post([weak] {
      if (auto worker = weak.lock()) worker->reclaiming_ = false;
    });
  });
}

}  // namespace pallix
