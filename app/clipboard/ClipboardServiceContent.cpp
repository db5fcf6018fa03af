// ClipboardService::loadContent: an item's bytes read for its row and detail
// pane, on the capture runner (where captures use the store) so that a large
// image never holds up the service's runner.
#include "app/clipboard/ClipboardService.h"
#include "core/Logger.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("ClipboardService");
  return log;
}

}  // namespace

void ClipboardService::loadContent(const ClipboardItem& item,
                                   std::function<void(std::shared_ptr<const ClipboardItemContent>)> completion) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  auto deliver = weak_.wrap([completion = std::move(completion)](std::shared_ptr<const ClipboardItemContent> content) {
    completion(std::move(content));
  });
  std::weak_ptr<ClipboardCaptureWorker> worker = worker_;
  std::shared_ptr<ClipboardStore> store = store_;
  TaskRunnerPtr runner = runner_;
  const int64_t id = item.id;
  captureRunner_->post([worker, store, runner, id, deliver]() mutable {
    std::shared_ptr<const ClipboardItemContent> content;
    if (auto w = worker.lock()) {
      auto representations = [&] {
        std::lock_guard<std::mutex> lock(w->storeMutex());
        return store->loadRepresentations(id);
      }();
      if (representations.ok()) {
        content =
            std::make_shared<const ClipboardItemContent>(readClipboardItemContent(std::move(representations).value()));
      } else {
        logger().error("Pallix.ClipboardService: Cannot read item %lld for its row: %s", static_cast<long long>(id),
                       representations.error().description().c_str());
      }
    }
    runner->post([deliver, content]() mutable { deliver(std::move(content)); });
  });
}

}  // namespace pallix
