#include "app/platform/linux/WaylandPasteboard.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/platform/PasteboardTypes.h"
#include "app/platform/linux/ChildProcess.h"
#include "core/Strings.h"

namespace pallix {
namespace {
constexpr auto kToolTimeout = std::chrono::seconds(2);
}

Result<std::shared_ptr<WaylandPasteboard>> WaylandPasteboard::create() {
  if (findInPath("wl-paste").empty() || findInPath("wl-copy").empty()) {
    return Error("WaylandPasteboardError", 1, "wl-paste and wl-copy are missing: install wl-clipboard");
  }
  std::shared_ptr<WaylandPasteboard> board(new WaylandPasteboard());
  // The watcher prints one line per change (and one at start).
  auto watcher = ChildProcess::start({"wl-paste", "--watch", "echo", "changed"});
  if (!watcher.ok()) return watcher.error();
  ChildProcess child = std::move(watcher).value();
  board->thread_ = std::thread([raw = board.get(), child = std::move(child)]() mutable {
    char buffer[256];
    bool first = true;
    while (!raw->stopping_) {
      pollfd p{child.outputDescriptor(), POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      ssize_t n = ::read(child.outputDescriptor(), buffer, sizeof(buffer));
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] != '\n') continue;
        if (first) {
          first = false;
          continue;
        }
        ++raw->changeCount_;
        std::function<void()> observer;
        {
          std::lock_guard<std::mutex> lock(raw->mutex_);
          observer = raw->observer_;
        }
        raw->changed_.notify_all();
        if (observer) observer();
      }
    }
    child.kill();
  });
  return board;
}

WaylandPasteboard::~WaylandPasteboard() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

void WaylandPasteboard::setChangeObserver(std::function<void()> observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observer_ = std::move(observer);
}

Result<std::optional<PasteboardItem>> WaylandPasteboard::readItem() {
  auto types = ChildProcess::run({"wl-paste", "--list-types"}, "", kToolTimeout);
  // wl-paste fails on an empty clipboard.
  if (!types.ok()) return std::optional<PasteboardItem>();
  std::vector<std::string> names;
  for (const std::string& line : splitString(types.value(), '\n')) {
    std::string type(trimWhitespace(line));
    if (!type.empty() && !isPasteboardProtocolTarget(type)) names.push_back(type);
  }
  for (const std::string& type : names) {
    if (type != kPasswordManagerHintType) continue;
    auto hint = ChildProcess::run({"wl-paste", "--no-newline", "--type", type}, "", kToolTimeout);
    if (hint.ok() && trimWhitespace(hint.value()) == "secret") {
      return std::optional<PasteboardItem>(PasteboardItem{{{kPasswordManagerHintType, "secret"}}});
    }
  }
  PasteboardItem item;
  bool tookImage = false;
  for (const std::string& type : names) {
    const bool image = pasteboardTypeCategory(type) == PasteboardTypeCategory::image;
    if (image && tookImage) continue;
    auto data = ChildProcess::run({"wl-paste", "--no-newline", "--type", type}, "", kToolTimeout);
    if (!data.ok()) return data.error().withContext("Cannot read the clipboard's " + inQuotes(type));
    tookImage = tookImage || image;
    item.representations.push_back({type, std::move(data).value()});
  }
  return std::optional<PasteboardItem>(std::move(item));
}

Result<int64_t> WaylandPasteboard::writeItem(const PasteboardItem& item) {
  std::optional<std::string> text = primaryTextOf(item);
  if (!text) return Error("WaylandPasteboardError", 2, "wl-copy holds one type only, and the item has no text");
  const int64_t before = changeCount_.load();
  auto child = ChildProcess::start({"wl-copy", "--type", kPlainTextUtf8Type});
  if (!child.ok()) return child.error();
  PALLIX_RETURN_IF_ERROR(child.value().finishInput(*text));
  PALLIX_RETURN_IF_ERROR(child.value().waitForExit(kToolTimeout));
  // The watcher sees this write too: wait for it, so the counter returned is
  // the one the next poll would otherwise take for a new copy.
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(1), [&] { return changeCount_.load() != before; });
  return changeCount_.load();
}

Status WaylandPasteboard::writeString(const std::string& text) {
  auto written = writeItem(PasteboardItem{{{kPlainTextUtf8Type, text}}});
  if (!written.ok()) return written.error();
  return okStatus();
}

Result<std::optional<std::string>> WaylandPasteboard::readString() {
  PALLIX_ASSIGN_OR_RETURN(auto item, readItem());
  if (!item) return std::optional<std::string>();
  return primaryTextOf(*item);
}

}  // namespace pallix
