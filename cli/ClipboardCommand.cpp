// pallix clipboard: the clipboard history from the command line: list,
// search, reuse, pin, delete and clear the recorded items, and watch the
// clipboard in the foreground. `serve` is the helper a copy leaves behind to
// own the X11 clipboard after the command ends.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <iterator>
#include <thread>

#include "app/clipboard/ClipboardItemFacts.h"
#include "app/clipboard/ClipboardRecorderLock.h"
#include "app/clipboard/ClipboardServices.h"
#include "app/platform/linux/DetachedPasteboard.h"
#include "app/platform/linux/InotifyFileChangeMonitor.h"
#include "app/platform/linux/LinuxDesktop.h"
#include "app/platform/linux/X11Pasteboard.h"
#include "app/preferences/ClipboardPreferences.h"
#include "app/shell/DefaultsFileWatcher.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "cli/StopSignal.h"
#include "core/FileUtil.h"
#include "core/Formatting.h"
#include "core/Strings.h"
#include "core/TerminalText.h"

namespace pallix::cli {
namespace {

// The clipboard of commands that only read or edit the history (list, delete,
// clear): it is empty and refuses writes, so nothing can reach the desktop's
// clipboard by accident.
class HistoryOnlyPasteboard final : public Pasteboard {
 public:
  Status writeString(const std::string&) override {
    return Error("PasteboardError", 1, "This command does not use the clipboard");
  }
  Result<std::optional<std::string>> readString() override { return std::optional<std::string>(); }
  int64_t changeCount() const override { return 0; }
};

constexpr const char* kEnableHint =
    "Turn the history on with: pallix defaults write ClipboardPreferences.historyEnabled true";

std::string localDate(Date date) {
  std::time_t t = std::chrono::system_clock::to_time_t(date);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M", &tm);
  return buffer;
}

nlohmann::json itemJson(size_t position, const ClipboardItem& item, const ClipboardItemFacts& facts) {
  auto opt = [](const auto& v) { return v ? nlohmann::json(*v) : nlohmann::json(nullptr); };
  nlohmann::json reps = nlohmann::json::array();
  for (const ClipboardRepresentation& r : item.representations) {
    reps.push_back({{"typeIdentifier", r.typeIdentifier}, {"order", r.order}, {"byteCount", r.byteCount}});
  }
  return {{"position", position},
          {"createdAt", isoDate(item.createdAt)},
          {"age", facts.age},
          {"contentHash", opt(item.contentHash)},
          {"primaryText", opt(item.primaryText)},
          {"title", facts.title},
          {"contentKindRaw", item.contentKindRaw},
          {"contentKind", clipboardContentKindName(item.contentKind())},
          {"pinned", item.pinned},
          {"detectedURLString", opt(item.detectedURLString)},
          {"linkTitle", opt(facts.linkTitle)},
          {"imageFormat", opt(facts.imageFormat)},
          {"pixelWidth", opt(facts.pixelWidth)},
          {"pixelHeight", opt(facts.pixelHeight)},
          {"filePath", opt(facts.filePath)},
          {"fileCount", facts.fileCount},
          {"sourceAppBundleIdentifier", opt(item.sourceAppBundleIdentifier)},
          {"sourceAppName", opt(item.sourceAppName)},
          {"representations", reps}};
}

// Shows the items as their rows describe them, with the titles of their
// links' stored previews (a command never fetches one: that happens when
// clipboard mode shows a link) and what images and copied files hold.
void printItems(const std::vector<const ClipboardItem*>& items, bool json, const ClipboardService& service,
                ClipboardStore& store) {
  const Date now = service.now();
  std::vector<ClipboardItemFacts> facts;
  for (const ClipboardItem* item : items) {
    std::optional<ClipboardLinkPreviewPayload> preview;
    if (item->detectedURLString) preview = service.storedLinkPreview(*item->detectedURLString);
    std::optional<ClipboardItemContent> content;
    const ClipboardContentKind kind = item->contentKind();
    if (kind == ClipboardContentKind::image || kind == ClipboardContentKind::file) {
      auto representations = store.loadRepresentations(item->id);
      if (representations.ok()) content = readClipboardItemContent(std::move(representations).value());
    }
    facts.push_back(describeClipboardItem(*item, now, preview ? &*preview : nullptr, content ? &*content : nullptr));
  }
  if (json) {
    nlohmann::json out = nlohmann::json::array();
    for (size_t i = 0; i < items.size(); ++i) out.push_back(itemJson(i + 1, *items[i], facts[i]));
    printJson(out);
    return;
  }
  for (size_t i = 0; i < items.size(); ++i) {
    const ClipboardItemFacts& f = facts[i];
    std::string shown = f.title;
    if (f.kind == ClipboardContentKind::link && f.linkTitle && f.url) shown += "  <" + *f.url + ">";
    if (f.kind == ClipboardContentKind::file && f.filePath) shown += "  " + *f.filePath;
    std::cout << stringPrintf("%3zu  ", i + 1) << localDate(items[i]->createdAt) << "  " << printableColumn(f.age, 11)
              << " " << printableColumn(clipboardContentKindName(f.kind), 8) << " "
              << printableColumn(f.sourceAppName.value_or("-"), 14) << " " << (items[i]->pinned ? "[pinned] " : "")
              << printable(truncateToDisplayWidth(shown, 90)) << "\n";
  }
}

struct Context {
  DataDirectories dirs = DataDirectories::fromEnvironment();
  std::unique_ptr<UserDefaults> defaults;
  std::unique_ptr<ClipboardPreferences> preferences;
  std::shared_ptr<RunLoop> loop = RunLoop::create();
  std::unique_ptr<ClipboardServices> services;

  // Opens the history; `pasteboard` is what reuse writes to.
  Status open(std::shared_ptr<Pasteboard> pasteboard, bool monitor,
              std::shared_ptr<LinkMetadataProvider> linkMetadata = nullptr) {
    defaults = std::make_unique<UserDefaults>(dirs.defaultsPath());
    preferences = std::make_unique<ClipboardPreferences>(*defaults);
    ClipboardServices::Options options;
    options.dirs = dirs;
    options.runner = loop;
    options.pasteboard = pasteboard ? pasteboard : std::make_shared<HistoryOnlyPasteboard>();
    options.linkMetadata = std::move(linkMetadata);
    const ClipboardPreferences* prefs = preferences.get();
    options.settings = [prefs] { return prefs->settings(); };
    options.monitor = monitor;
    PALLIX_ASSIGN_OR_RETURN(services, ClipboardServices::open(std::move(options)));
    return okStatus();
  }
  std::vector<ClipboardItem> items(std::optional<int64_t> limit = std::nullopt) {
    return services->store().fetchAll(limit).valueOr({});
  }
};

int failOpen(const std::string& command, const Status& status) {
  printError("clipboard " + command + ": " + status.error().description(),
             "Check that the data directory is writable ('pallix paths' shows it).");
  return kExitUnavailable;
}

std::optional<size_t> position(const std::string& text, size_t count, const std::string& command) {
  char* end = nullptr;
  long long n = std::strtoll(text.c_str(), &end, 10);
  if (!end || *end || n < 1 || static_cast<size_t>(n) > count) {
    printError("clipboard " + command + ": no item " + inQuotes(text) +
                   (count ? stringPrintf(" (the history has items 1 to %zu)", count) : " (the history is empty)"),
               "'pallix clipboard list' numbers the items, pinned ones first, then newest first.");
    return std::nullopt;
  }
  return static_cast<size_t>(n - 1);
}

// The pasteboard a command that ends right after copying writes to.
Result<std::shared_ptr<Pasteboard>> lastingPasteboard(const DataDirectories& dirs) {
  const char* display = std::getenv("DISPLAY");
  if (display && *display) {
    return std::shared_ptr<Pasteboard>(std::make_shared<DetachedPasteboard>(DetachedPasteboard::pallixServerCommand()));
  }
  return makeDesktopPasteboard(dirs);
}

int runWatch(Context& ctx) {
  auto pasteboard = makeDesktopPasteboard(ctx.dirs);
  if (!pasteboard.ok()) {
    printError("clipboard watch: " + pasteboard.error().description(),
               "Run it inside a desktop session (X11 or Wayland with wl-clipboard installed).");
    return kExitUnavailable;
  }
  // One recorder per user: a second would record every copy twice.
  auto lock = ClipboardRecorderLock::acquire(ctx.dirs);
  if (!lock.ok()) {
    printError("clipboard watch: " + printable(lock.error().description()),
               "Stop it first (pallix daemon records it too when the history is on).");
    return exitStatusFor(lock.error());
  }
  Status opened = ctx.open(pasteboard.value(), /*monitor=*/true, makeLinkMetadataProvider());
  if (!opened.ok()) return failOpen("watch", opened);
  if (!ctx.preferences->historyEnabled()) {
    printError("clipboard watch: the clipboard history is off", kEnableHint);
    return kExitUnavailable;
  }
  ClipboardService& service = ctx.services->service();
  service.setCaptureObserver([](const ClipboardItem& item, bool isNew) {
    std::cerr << "pallix: " << (isNew ? "recorded " : "moved to the top: ")
              << clipboardContentKindName(item.contentKind()) << " (" << item.totalByteCount() << " bytes"
              << (item.sourceAppName ? ", from " + printable(*item.sourceAppName) : std::string()) << ")\n";
  });
  if (Status signals = installStopSignalHandler([loop = ctx.loop] { loop->quit(); }); !signals.ok()) {
    printError("clipboard watch: " + signals.error().description());
    return exitStatusFor(signals.error());
  }
  // The switch turned by another command (`pallix defaults write`) reaches
  // the service as a change of this process's preferences would.
  InotifyFileChangeMonitor monitor;
  DefaultsFileWatcher defaultsWatcher(*ctx.defaults, monitor, ctx.loop, "Pallix.ClipboardWatch");
  defaultsWatcher.reloadOnChange(*ctx.preferences);
  bool recording = true;
  ScopedObservation switched(NotificationCenter::defaultCenter(), ClipboardPreferences::kDidChangeNotification,
                             [&](const Notification&) {
                               if (ctx.preferences->historyEnabled() == recording) return;
                               recording = ctx.preferences->historyEnabled();
                               std::cerr << (recording ? "pallix: the clipboard history is on again; recording.\n"
                                                       : "pallix: the clipboard history is off; nothing is recorded "
                                                         "until it is turned on again.\n");
                             });
  if (Status watching = defaultsWatcher.start(); !watching.ok()) {
    std::cerr << "pallix: settings changed by other commands apply at the next start: "
              << printable(watching.error().description()) << "\n";
  }
  std::cerr << "pallix: watching the clipboard (pid " << ::getpid() << "). Press Ctrl-C to stop.\n";
  ctx.loop->run();
  defaultsWatcher.stop();
  service.flushPendingSave();
  std::cerr << "pallix: stopped.\n";
  return kExitOk;
}

int runServe() {
  std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  auto item = decodePasteboardItem(input);
  X11Pasteboard::Options options;
  auto board = item.ok() ? X11Pasteboard::connect(options) : Result<std::shared_ptr<X11Pasteboard>>(item.error());
  Result<int64_t> written = board.ok() ? board.value()->writeItem(item.value()) : Result<int64_t>(board.error());
  std::cout << (written.ok() ? "ok " + std::to_string(written.value()) : written.error().description()) << std::endl;
  // The command that started us reads one line; nothing else goes to it.
  int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, STDOUT_FILENO);
  if (!written.ok()) return kExitFailure;
  board.value()->waitUntilOwnershipLost();
  return kExitOk;
}

int runClipboard(Args& args) {
  const bool json = args.flag("--json");
  const auto limit = args.intOption("--limit");
  auto words = args.positionals();
  if (args.failed()) return usageError("clipboard", args.failure());
  if (words.empty()) {
    return usageError("clipboard", "needs a subcommand: list, search, copy, pin, unpin, delete, clear or watch");
  }
  const std::string sub = words[0];
  words.erase(words.begin());
  Context ctx;
  if (sub == "serve") return runServe();
  if (sub == "watch") return words.empty() ? runWatch(ctx) : usageError("clipboard", "watch takes no arguments");

  if (sub == "list" || sub == "search") {
    if (sub == "search" && words.empty()) return usageError("clipboard", "search needs a text");
    if (sub == "list" && !words.empty()) return usageError("clipboard", "list takes no text (use search)");
    if (limit && *limit < 1) return usageError("clipboard", "--limit must be at least 1");
    Status opened = ctx.open(nullptr, false);
    if (!opened.ok()) return failOpen(sub, opened);
    std::vector<ClipboardItem> history = ctx.items();
    ClipboardSearchIndex index(ctx.loop, ctx.loop);
    index.updateHistory(std::move(history));
    std::vector<const ClipboardItem*> shown;
    if (sub == "search") {
      shown = index.filter(joinStrings(words, " "));
    } else {
      for (const ClipboardItem& item : index.history()) shown.push_back(&item);
    }
    if (limit && shown.size() > static_cast<size_t>(*limit)) shown.resize(static_cast<size_t>(*limit));
    printItems(shown, json, ctx.services->service(), ctx.services->store());
    if (shown.empty() && !json) {
      std::cout << (sub == "search"
                        ? "No item matches " + printable(inQuotes(joinStrings(words, " "))) + ".\n"
                        : std::string("The clipboard history is empty.") +
                              (ctx.preferences->historyEnabled() ? "\n" : " " + std::string(kEnableHint) + "\n"));
    }
    return shown.empty() ? kExitFailure : kExitOk;
  }

  if (sub == "copy" || sub == "delete") {
    if (words.size() != 1) return usageError("clipboard", sub + " needs one item number");
    std::shared_ptr<Pasteboard> pasteboard;
    if (sub == "copy") {
      auto made = lastingPasteboard(ctx.dirs);
      if (!made.ok()) {
        printError("clipboard copy: " + made.error().description(), "Run it inside a desktop session.");
        return kExitUnavailable;
      }
      pasteboard = made.value();
    }
    Status opened = ctx.open(pasteboard, false);
    if (!opened.ok()) return failOpen(sub, opened);
    std::vector<ClipboardItem> history = ctx.items();
    auto index = position(words[0], history.size(), sub);
    if (!index) return kExitFailure;
    const ClipboardItem& item = history[*index];
    if (sub == "delete") {
      ctx.services->service().deleteItem(item);
      ctx.loop->runUntilIdle();
      if (ctx.services->store().findById(item.id).valueOr(std::nullopt)) {
        printError("clipboard delete: the item could not be deleted (see the log above)");
        return kExitFailure;
      }
      std::cout << "Deleted item " << words[0] << ".\n";
      return kExitOk;
    }
    if (!ctx.services->service().copyToPasteboard(item)) {
      printError("clipboard copy: the item could not be put on the clipboard (see the log above)");
      return kExitFailure;
    }
    ctx.services->service().flushPendingSave();
    std::cout << "Copied item " << words[0] << " to the clipboard; it is now item 1.\n";
    return kExitOk;
  }

  if (sub == "pin" || sub == "unpin") {
    if (words.size() != 1) return usageError("clipboard", sub + " needs one item number");
    Status opened = ctx.open(nullptr, false);
    if (!opened.ok()) return failOpen(sub, opened);
    std::vector<ClipboardItem> history = ctx.items();
    auto index = position(words[0], history.size(), sub);
    if (!index) return kExitFailure;
    const bool pin = sub == "pin";
    const int64_t id = history[*index].id;
    if (!ctx.services->service().setPinned(history[*index], pin)) {
      printError("clipboard " + sub + ": the item could not be changed (see the log above)");
      return kExitFailure;
    }
    ctx.loop->runUntilIdle();
    history = ctx.items();
    auto now = std::find_if(history.begin(), history.end(), [&](const ClipboardItem& i) { return i.id == id; });
    if (now == history.end() || now->pinned != pin) {
      printError("clipboard " + sub + ": the item could not be changed (see the log above)");
      return kExitFailure;
    }
    const size_t newPosition = static_cast<size_t>(now - history.begin()) + 1;
    if (json) {
      std::optional<ClipboardLinkPreviewPayload> preview;
      if (now->detectedURLString) preview = ctx.services->service().storedLinkPreview(*now->detectedURLString);
      std::optional<ClipboardItemContent> content;
      if (auto representations = ctx.services->store().loadRepresentations(now->id); representations.ok()) {
        content = readClipboardItemContent(std::move(representations).value());
      }
      printJson(itemJson(newPosition, *now,
                         describeClipboardItem(*now, ctx.services->service().now(), preview ? &*preview : nullptr,
                                               content ? &*content : nullptr)));
    } else {
      std::cout << (pin ? "Pinned item " : "Unpinned item ") << words[0] << "; it is now item " << newPosition
                << (pin ? " and stays until you delete it.\n" : " and goes with the history's age and size limits.\n");
    }
    return kExitOk;
  }

  if (sub == "clear") {
    if (!words.empty()) return usageError("clipboard", "clear takes no arguments");
    Status opened = ctx.open(nullptr, false);
    if (!opened.ok()) return failOpen(sub, opened);
    const std::vector<ClipboardItem> before = ctx.items();
    const size_t pinned = static_cast<size_t>(
        std::count_if(before.begin(), before.end(), [](const ClipboardItem& i) { return i.pinned; }));
    ctx.services->service().clearHistory();
    ctx.loop->runUntilIdle();
    const size_t left = ctx.items().size();
    ctx.services.reset();  // waits for the link previews to be removed
    if (left > pinned) {
      printError("clipboard clear: the history could not be cleared (see the log above)");
      return kExitFailure;
    }
    if (json) {
      printJson({{"cleared", before.size() - left}, {"keptPinned", left}});
      return kExitOk;
    }
    std::cout << stringPrintf("Cleared the clipboard history (%zu items) and its link previews.\n",
                              before.size() - left);
    if (left) {
      std::cout << stringPrintf("Kept %zu pinned item%s; unpin or delete %s to remove %s.\n", left,
                                left == 1 ? "" : "s", left == 1 ? "it" : "them", left == 1 ? "it" : "them");
    }
    return kExitOk;
  }
  return usageError("clipboard", "unknown subcommand " + inQuotes(sub) +
                                     "; use list, search, copy, pin, unpin, delete, clear or watch");
}

}  // namespace

PALLIX_COMMAND("clipboard", "the clipboard history: list, search, copy, pin, delete, clear, watch",
               "Usage: pallix clipboard list [--limit N] [--json]\n"
               "       pallix clipboard search TEXT... [--limit N] [--json]\n"
               "       pallix clipboard copy N\n"
               "       pallix clipboard pin N [--json]\n"
               "       pallix clipboard unpin N [--json]\n"
               "       pallix clipboard delete N\n"
               "       pallix clipboard clear [--json]\n"
               "       pallix clipboard watch\n\n"
               "The history records every distinct item copied while it is on (the preference\n"
               "ClipboardPreferences.historyEnabled; off by default) with all its types, in Pallix.sqlite in\n"
               "the data directory, and forgets items after ClipboardPreferences.retentionDays (1, 7, 30 or\n"
               "0 for never; default 7). When the items hold more than ClipboardPreferences.maxStorageMB\n"
               "(default 512), the oldest go first. Pinned items stay through both and through clear; only\n"
               "delete removes one. Items a password manager marks as secret are never recorded.\n\n"
               "list      the items, pinned ones first, then newest first, numbered from 1\n"
               "search    the items whose text, source application or link contains TEXT (at most 25)\n"
               "copy      puts item N back on the clipboard with all its types; it moves to the top\n"
               "pin       pins item N: it lists first and is kept until deleted (Ctrl+P in clipboard mode)\n"
               "unpin     unpins item N\n"
               "delete    deletes item N, pinned or not\n"
               "clear     deletes every item but the pinned ones, and the stored link previews\n"
               "watch     records the clipboard in the foreground until Ctrl-C (pallix daemon does it too);\n"
               "          turning the history off from another command pauses it at once\n\n"
               "--json prints createdAt, age, contentHash, primaryText, title, contentKindRaw, pinned,\n"
               "detectedURLString, linkTitle, imageFormat, pixelWidth, pixelHeight, filePath, fileCount,\n"
               "sourceAppName and the representations (typeIdentifier, order, byteCount) of each item (pin\n"
               "and unpin: of the changed item, at its new position; clear: how many went and stayed).\n"
               "Exit status: 0 ok, 1 nothing found or failed, 2 usage, 3 no desktop session or store.\n",
               runClipboard);

}  // namespace pallix::cli
