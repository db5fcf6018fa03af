// `pallix messages`: text search of the Messages database, the conversation
// chunks the indexer builds, indexing them into the semantic message index,
// conversation search by meaning, the database's status, and pointing Pallix
// at the SMS database of a phone backup.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <iostream>
#include <thread>

#include "app/messages/MessageText.h"
#include "app/messages/MessagesBackupImporter.h"
#include "app/messages/MessagesComponents.h"
#include "app/platform/DataDirectories.h"
#include "app/platform/VCard.h"
#include "app/platform/linux/InotifyFileChangeMonitor.h"
#include "app/platform/linux/LockFileSingleInstance.h"
#include "app/preferences/IntelligencePreferences.h"
#include "app/preferences/MessagesPreferences.h"
#include "app/search/MatchReason.h"
#include "app/semantic/SemanticServices.h"
#include "app/shell/AgentRequests.h"
#include "app/shell/DefaultsFileWatcher.h"
#include "cli/AgentPass.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "cli/FilesCommand.h"
#include "core/Formatting.h"
#include "core/RunLoop.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

constexpr const char* kUsage =
    "Usage: pallix messages search TEXT... [--limit N] [--json]\n"
    "       pallix messages chunks [--chat GUID] [--json]\n"
    "       pallix messages index [--watch]\n"
    "       pallix messages rebuild\n"
    "       pallix messages semantic QUERY... [--limit N] [--representative] [--json]\n"
    "       pallix messages status [--json]\n"
    "       pallix messages import-backup DIR\n\n"
    "search         finds messages whose text, sender or conversation name contains TEXT\n"
    "               (% and _ match any text and any one character); at most 50, newest first.\n"
    "chunks         shows the conversation chunks semantic search would index from the last\n"
    "               12 months: runs of messages close in time, from you and from your contacts.\n"
    "index          embeds the chunks into the semantic message index: the first run indexes\n"
    "               the last 12 months, later runs add what is new. --watch keeps polling for\n"
    "               new messages (every 300 s) until Ctrl-C. A run that was stopped goes on\n"
    "               where it stopped; another Messages database starts a new index. While the\n"
    "               agent ('pallix daemon') indexes messages, it keeps the index: index asks it\n"
    "               to run the pass (after its own) and shows the progress.\n"
    "rebuild        empties the semantic message index and indexes the last 12 months again.\n"
    "semantic       finds conversations by meaning (default 10, at most 50), with their messages\n"
    "               as they are in the database now; --representative shows one message each.\n"
    "               Time phrases (\"last week\", \"in 2024\") limit the dates.\n"
    "status         shows which Messages database is read and whether it can be.\n"
    "import-backup  uses the SMS database of a phone backup made with idevicebackup2\n"
    "               (idevicebackup2 backup --full DIR); it is never written.\n\n"
    "The database is ~/Library/Messages/Chat.db (a copy of a Mac's chat.db) unless a backup\n"
    "was imported. Nothing is created or changed beside it: a database in WAL mode (as\n"
    "Messages keeps it) is read from a private copy in Pallix's cache folder. Contact names\n"
    "come from 'pallix contacts import FILE.vcf'.\n\n"
    "Exit status: 0 found, 1 nothing found or the database could not be read, 2 bad arguments,\n"
    "3 no readable Messages database or no embedding model ('pallix model install DIR').\n";

std::string localDate(double secondsSince1970) {
  std::time_t t = static_cast<std::time_t>(secondsSince1970);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M", &tm);
  return buffer;
}

nlohmann::json optionalJson(const std::optional<std::string>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json toJson(const MessageSearchResult& r) {
  return {{"id", r.id},
          {"guid", r.guid},
          {"text", r.text},
          {"date", isoDate(r.date)},
          {"dateSeconds", secondsSince1970(r.date)},
          {"isFromMe", r.isFromMe},
          {"senderIdentifier", r.senderIdentifier},
          {"senderDisplayName", optionalJson(r.senderDisplayName)},
          {"senderImageData", r.senderImageData ? nlohmann::json(encodeBase64(*r.senderImageData)) : nullptr},
          {"chatGUID", r.chatGUID},
          {"chatDisplayName", optionalJson(r.chatDisplayName)},
          {"isGroupChat", r.isGroupChat},
          {"attachmentCount", r.attachmentCount},
          {"attachmentPaths", r.attachmentPaths},
          {"conversationURL", conversationURL(r.guid)}};
}

nlohmann::json toJson(const MessageChunkRecord& chunk) {
  const ChunkMetadata& m = chunk.metadata;
  return {{"identifier", chunk.identifier}, {"chatGUID", m.chatGUID},   {"messageRowIDs", m.messageRowIDs},
          {"messageGUIDs", m.messageGUIDs}, {"startDate", m.startDate}, {"endDate", m.endDate},
          {"combinedText", m.combinedText}};
}

// Prints why the database cannot be read; the exit status for it.
int reportUnreadable(const FullDiskAccessController& access) {
  printError("cannot read the Messages database " + inQuotes(access.chatDatabasePath()), access.openSettings());
  return kExitUnavailable;
}

std::string hintFor(const Error& error, const FullDiskAccessController& access) {
  const std::string& d = error.description();
  if (d.find("locked") != std::string::npos || d.find("busy") != std::string::npos) {
    return "Another program is writing the database; try again when it is done.";
  }
  return "Is " + access.chatDatabasePath() +
         " a Messages database? Run 'pallix messages status', or import a backup with "
         "'pallix messages import-backup DIR'.";
}

// No words, or only white space: every message would match.
bool isBlank(const std::vector<std::string>& words) {
  return trimWhitespaceAndNewlines(joinStrings(words, " ")).empty();
}

int search(MessagesComponents& messages, const std::vector<std::string>& words, std::optional<long long> limit,
           bool json) {
  if (isBlank(words)) return usageError("messages", "search needs TEXT");
  if (limit && *limit < 1) return usageError("messages", "--limit must be at least 1");
  if (!messages.access->isFullDiskAccessGranted()) return reportUnreadable(*messages.access);
  std::string query = joinStrings(words, " ");
  auto results = messages.searchService->searchText(query);
  if (!results.ok()) {
    printError(results.error().description(), hintFor(results.error(), *messages.access));
    return exitStatusFor(results.error());
  }
  std::vector<MessageSearchResult>& list = results.value();
  if (limit && list.size() > static_cast<size_t>(*limit)) list.resize(static_cast<size_t>(*limit));
  if (json) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& r : list) {
      nlohmann::json j = toJson(r);
      if (MatchReason why = passageReason(r.text, query); !why.empty()) j["why"] = matchReasonJson(why);
      array.push_back(std::move(j));
    }
    printJson(array);
  } else if (list.empty()) {
    std::cout << "No messages match " << printable(inQuotes(query)) << ".\n";
  } else {
    // At a terminal the passage that matched, its words bold; piped, the
    // message on one line as before.
    const bool reasons = reasonsShown();
    const bool colour = reasons && colourWanted();
    for (const auto& r : list) {
      ModeResult row = MessageModeSearchProvider::modeResult(r, reasons ? query : std::string());
      std::cout << localDate(secondsSince1970(r.date)) << "  " << printable(row.title) << ": "
                << withHighlights(row.detail, row.detailHighlights, colour) << "\n";
    }
  }
  return list.empty() ? kExitFailure : kExitOk;
}

int chunks(MessagesComponents& messages, const std::optional<std::string>& chat, bool json) {
  if (!messages.access->isFullDiskAccessGranted()) return reportUnreadable(*messages.access);
  if (messages.contacts->authorizationStatus() != ContactsAuthorizationStatus::authorized) {
    std::cerr << "pallix: note: no contacts imported, so only your own messages form chunks. "
                 "Import an address book with 'pallix contacts import FILE.vcf'.\n";
  }
  printProgress("Reading conversations…");
  auto collected = messages.collectChunks(SystemClock::instance(), chat);
  clearProgress();
  if (!collected.ok()) {
    printError(collected.error().description(), hintFor(collected.error(), *messages.access));
    return exitStatusFor(collected.error());
  }
  const ChunkCollection& c = collected.value();
  if (chat && c.chatCount == 0) {
    printError("no conversation " + inQuotes(*chat) + " with messages in the last 12 months",
               "Conversation GUIDs are shown by 'pallix messages search TEXT --json' (chatGUID).");
    return kExitFailure;
  }
  if (json) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& chunk : c.chunks) array.push_back(toJson(chunk));
    printJson(array);
  } else {
    for (const auto& chunk : c.chunks) {
      std::cout << printable(chunk.identifier) << "  (" << chunk.metadata.messageRowIDs.size() << " messages, "
                << localDate(chunk.metadata.startDate) << " to " << localDate(chunk.metadata.endDate) << ")\n";
      for (const std::string& line : splitString(chunk.text, '\n')) std::cout << "    " << printable(line) << "\n";
    }
    std::cout << c.chunks.size() << " chunks from " << c.messageCount << " messages in " << c.chatCount
              << (c.chatCount == 1 ? " conversation" : " conversations") << "\n";
  }
  return c.chunks.empty() ? kExitFailure : kExitOk;
}

int status(const MessagesComponents& messages, bool json) {
  const FullDiskAccessController& access = *messages.access;
  bool readable = access.isFullDiskAccessGranted();
  std::optional<std::string> problem;
  if (readable) {
    auto connection = access.openDatabase();
    Status schema = connection.ok() ? checkMessagesSchema(*connection.value()) : Status(connection.error());
    if (!schema.ok()) problem = schema.error().description();
  }
  const char* contacts = rawValue(messages.contacts->authorizationStatus());
  if (json) {
    printJson({{"databasePath", access.chatDatabasePath()},
               {"source", access.isImportedPath() ? "backup" : "default"},
               {"readable", readable},
               {"problem", optionalJson(problem)},
               {"contacts", contacts}});
  } else {
    std::cout << printableColumn("database", 10) << printable(access.chatDatabasePath())
              << (access.isImportedPath() ? " (from a backup)" : "") << "\n"
              << printableColumn("readable", 10) << (readable ? "yes" : "no") << "\n";
    if (problem) std::cout << printableColumn("problem", 10) << printable(*problem) << "\n";
    std::cout << printableColumn("contacts", 10) << contacts << "\n";
    if (!readable) std::cout << "\n" << printable(access.openSettings()) << "\n";
  }
  if (!readable) return kExitUnavailable;
  return problem ? kExitFailure : kExitOk;
}

int importBackup(const DataDirectories& dirs, const std::vector<std::string>& rest) {
  if (rest.size() != 2) return usageError("messages", "import-backup takes one DIR");
  UserDefaults defaults(dirs.defaultsPath());
  auto imported = MessagesBackupImporter::importBackup(rest[1], defaults);
  if (!imported.ok()) {
    int code = imported.error().code();
    printError(imported.error().description());
    // No folder, no backup in it or no messages file: something needed is missing.
    return code == 1 || code == 2 || code == 6 || code == 7 ? kExitUnavailable : kExitFailure;
  }
  std::cout << "Messages database: " << printable(imported->databasePath) << " (" << imported->messageCount
            << " messages)\nPallix reads it in place and never writes it.\n";
  return kExitOk;
}

// MARK: - Semantic index and search

int g_stopPipe[2] = {-1, -1};
void onStopSignal(int) {
  char byte = 1;
  ssize_t ignored = ::write(g_stopPipe[1], &byte, 1);
  (void)ignored;
}

// The message store and its model, with a main loop to wait on.
struct SemanticSession {
  DataDirectories dirs;
  UserDefaults& defaults;
  std::shared_ptr<RunLoop> loop = RunLoop::create();
  std::unique_ptr<SemanticServices> services;

  // `readOnly`: the command only reads the index and never changes its files.
  SemanticSession(DataDirectories d, UserDefaults& defaults, bool readOnly = false)
      : dirs(std::move(d)), defaults(defaults) {
    SemanticServicesOptions options;
    options.dirs = dirs;
    options.defaults = &defaults;
    options.readOnly = readOnly;
    services = SemanticServices::create(std::move(options));
  }
  ~SemanticSession() { services->shutdown(); }

  template <typename T, typename Start>
  T await(Start start) {
    std::optional<T> result;
    start(Completion<T>(loop, [&](T value) {
      result = std::move(value);
      loop->quit();
    }));
    loop->run();
    return std::move(*result);
  }
};

int modelMissing(EmbeddingModelFactory& factory) {
  printError(factory.unavailableMessage(), "Run 'pallix model install DIR' with a bge-small-en model directory.");
  return kExitUnavailable;
}

// Stops the main loop on SIGINT/SIGTERM.
void installStopHandler(const std::shared_ptr<RunLoop>& loop, bool& interrupted) {
  if (::pipe2(g_stopPipe, O_CLOEXEC) != 0) return;
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  std::thread([loop, &interrupted] {
    char byte = 0;
    while (::read(g_stopPipe[0], &byte, 1) < 0 && errno == EINTR) {
    }
    loop->post([loop, &interrupted] {
      interrupted = true;
      loop->quit();
    });
  }).detach();
}

std::string passLine(const MessageChunkIndexer::PassSummary& s) {
  using K = MessageChunkIndexer::PassSummary::Kind;
  using O = MessageChunkIndexer::PassSummary::Outcome;
  const char* kind = s.kind == K::full ? "full pass" : s.kind == K::incremental ? "new messages" : "poll";
  switch (s.outcome) {
    case O::nothingNew:
      return std::string(kind) + ": no new messages";
    case O::deferred:
      return std::string(kind) + " deferred: " + s.detail;
    case O::interrupted:
      return std::string(kind) + " interrupted";
    case O::failed:
      return std::string(kind) + " failed: " + s.detail;
    case O::completed:
      break;
  }
  return stringPrintf("%s: %lld chunks from %lld messages in %lld %s", kind, static_cast<long long>(s.chunksStored),
                      static_cast<long long>(s.messages), static_cast<long long>(s.chats),
                      s.chats == 1 ? "conversation" : "conversations");
}

enum class IndexRun { catchUp, watch, rebuild };

// What the command shows of the agent's answer about a catch-up pass.
Result<AgentPassView> messagePassView(const std::string& answer) {
  PALLIX_ASSIGN_OR_RETURN(MessagePassReport report, decodeMessagePassReport(answer));
  AgentPassView view{report.pass.id, report.pass.state,
                     stringPrintf("%lld/%lld messages", static_cast<long long>(report.processedMessages),
                                  static_cast<long long>(report.totalMessages))};
  view.finish = [summary = report.pass.summary] {
    std::cout << passLine(summary) << "\n";
    using O = MessageChunkIndexer::PassSummary::Outcome;
    if (summary.outcome == O::failed || summary.outcome == O::deferred) return kExitFailure;
    return summary.outcome == O::interrupted ? kExitInterrupted : kExitOk;
  };
  return view;
}

// The running agent keeps the semantic indexes (it holds the writer lock):
// it runs the catch-up, and this command shows its progress until it is
// done. nullopt when no agent answers (another command holds the lock).
std::optional<int> runPassInTheAgent(const DataDirectories& dirs, IndexRun run) {
  const std::string socket = dirs.socketPath();
  if (run != IndexRun::catchUp) {
    // Any answer, a refusal included, means that an agent runs.
    if (!LockFileSingleInstance::request(socket, std::string(kAgentMessagesPassRequestPrefix) + "0").ok()) {
      return std::nullopt;
    }
    printError("the running Pallix agent keeps the message index and watches for new messages itself",
               "Run 'pallix messages index' (without --watch) to have it run a pass now, or stop the agent "
               "first.");
    return kExitFailure;
  }
  auto asked = LockFileSingleInstance::request(socket, kAgentMessagesIndexRequest);
  if (!asked.ok()) return std::nullopt;
  auto first = messagePassView(asked.value());
  if (!first.ok()) {
    printError("the running Pallix agent keeps the message index: " + first.error().description(),
               "Turn MessagesPreferences.semanticSearchEnabled on to have it index, or stop it to index from here.");
    return exitStatusFor(first.error());
  }
  return followAgentPass({socket, kAgentMessagesPassRequestPrefix, "the message index", "pallix messages index",
                          "pallix messages status", messagePassView},
                         std::move(first).value());
}

int index(MessagesComponents& messages, const DataDirectories& dirs, UserDefaults& defaults, IndexRun run) {
  const bool watch = run == IndexRun::watch;
  if (!messages.access->isFullDiskAccessGranted()) return reportUnreadable(*messages.access);
  SemanticSession session(dirs, defaults);
  auto& services = *session.services;
  if (!services.modelFactory().isInstalled()) return modelMissing(services.modelFactory());
  auto lock = SemanticWriterLock::acquire(services.storeDirectory());
  if (!lock.ok()) {
    if (auto status = runPassInTheAgent(dirs, run)) return *status;
    printError(lock.error().description());
    return exitStatusFor(lock.error());
  }
  auto executor = SerialExecutor::create("pallix-msgindex");
  auto indexer = messages.makeChunkIndexer(executor, services.messageStore(), defaults);
  auto storedIntensity = [&defaults] {
    auto raw = defaults.stringValue(MessagesPreferences::kIndexingIntensityKey);
    return raw ? indexingIntensityFromRaw(*raw).value_or(IndexingIntensity::balanced) : IndexingIntensity::balanced;
  };
  IndexingIntensity intensity = storedIntensity();
  indexer->setIndexingIntensity(intensity);
  indexer->setWorkMode(WorkMode::idle);
  indexer->setProgressObserver(
      Completion<MessageChunkIndexer::Progress>(session.loop, [](MessageChunkIndexer::Progress p) {
        if (p.state != MessageChunkIndexer::State::indexing) return clearProgress();
        printProgress(stringPrintf("%lld/%lld messages, %lld chunks", static_cast<long long>(p.processedMessages),
                                   static_cast<long long>(p.totalMessages), static_cast<long long>(p.indexedChunks)));
      }));
  std::vector<MessageChunkIndexer::PassSummary> passes;
  bool interrupted = false;
  installStopHandler(session.loop, interrupted);
  if (watch) {
    indexer->setPassObserver(Completion<MessageChunkIndexer::PassSummary>(session.loop, [&](auto s) {
      clearProgress();
      std::cout << passLine(s) << std::endl;
      passes.push_back(s);
    }));
    // Settings other commands write reach this long-lived pass: a new
    // intensity paces the next batches; another embedding model ends the
    // watch, since this index belongs to the previous one.
    MessagesPreferences preferences(defaults);
    IntelligencePreferences intelligence(defaults);
    InotifyFileChangeMonitor monitor;
    DefaultsFileWatcher defaultsWatcher(defaults, monitor, session.loop, "Pallix.MessagesIndex");
    defaultsWatcher.reloadOnChange(preferences, intelligence);
    std::vector<ScopedObservation> observations;
    observations.emplace_back(NotificationCenter::defaultCenter(), MessagesPreferences::kDidChangeNotification,
                              [&](const Notification&) {
                                IndexingIntensity now = storedIntensity();
                                if (now == intensity) return;
                                intensity = now;
                                indexer->setIndexingIntensity(now);
                                clearProgress();
                                std::cerr << "pallix: indexing intensity is now " << rawValue(now) << ".\n";
                              });
    observations.emplace_back(NotificationCenter::defaultCenter(),
                              IntelligencePreferences::kEmbeddingModelDidChangeNotification, [&](const Notification&) {
                                clearProgress();
                                std::cerr << "pallix: the embedding model changed to "
                                          << rawValue(intelligence.selectedModel())
                                          << "; stopping. Run 'pallix messages index' again to index with it.\n";
                                session.loop->quit();
                              });
    if (Status watching = defaultsWatcher.start(); !watching.ok()) {
      std::cerr << "pallix: settings changed by other commands apply at the next start: "
                << printable(watching.error().description()) << "\n";
    }
    indexer->startContinuousIndexing();
    std::cerr << "pallix: indexing messages and polling for new ones; Ctrl-C stops.\n";
    session.loop->run();
    defaultsWatcher.stop();
  } else if (run == IndexRun::rebuild) {
    // The rebuild empties the index, then one full pass runs; its end ends the command.
    indexer->setPassObserver(Completion<MessageChunkIndexer::PassSummary>(session.loop, [&](auto s) {
      passes.push_back(s);
      session.loop->quit();
    }));
    std::optional<Status> rebuilt;
    indexer->rebuildIndex(MessageChunkIndexer::RebuildTrigger::user, Completion<Status>(session.loop, [&](Status r) {
                            rebuilt = r;
                            if (!r.ok()) session.loop->quit();
                          }));
    session.loop->run();
    if (rebuilt && !rebuilt->ok()) printError("rebuilding the message index failed: " + rebuilt->error().description());
  } else {
    indexer->setPassObserver(
        Completion<MessageChunkIndexer::PassSummary>(session.loop, [&](auto s) { passes.push_back(s); }));
    std::optional<bool> ran;
    indexer->runScheduledCatchUpPass(Completion<bool>(session.loop, [&](bool r) {
      ran = r;
      session.loop->quit();
    }));
    session.loop->run();
  }
  clearProgress();
  indexer->stopIndexing();
  // What was stored before a stop is kept.
  Status saved = session.await<Status>([&](Completion<Status> done) {
    services.messageStore()->save(MessageSaveIntent::routine("pallix messages index"), done);
  });
  if (!saved.ok()) printError("saving the message index failed: " + saved.error().description());
  executor->shutdown();
  auto snapshot = session.await<EmbeddingStoreSnapshot>(
      [&](Completion<EmbeddingStoreSnapshot> done) { services.messageStore()->snapshot(done); });
  if (!watch) {
    for (const auto& p : passes) std::cout << passLine(p) << "\n";
    if (passes.empty()) {
      std::cout << "No pass ran: the index is being recovered or the embedding model is busy; try again shortly.\n";
    }
  }
  std::cout << "The message index holds " << snapshot.chunkCount << " chunks.\n";
  if (interrupted) {
    std::cerr << "pallix: interrupted; the chunks indexed so far are saved.\n";
    return kExitInterrupted;
  }
  using O = MessageChunkIndexer::PassSummary::Outcome;
  for (const auto& p : passes) {
    if (p.outcome == O::failed || p.outcome == O::deferred) return kExitFailure;
  }
  return passes.empty() ? kExitFailure : kExitOk;
}

nlohmann::json toJson(const SemanticConversationResult& c) {
  nlohmann::json messages = nlohmann::json::array();
  for (const auto& m : c.messages) messages.push_back(toJson(m));
  return {{"chunkID", c.chunkID},
          {"similarity", c.similarity},
          {"chatGUID", c.chatGUID},
          {"chatDisplayName", optionalJson(c.chatDisplayName)},
          {"fallbackMethod", c.fallbackMethod},
          {"messages", messages}};
}

// A conversation's name: its own, else the first other person in it.
std::string conversationTitle(const SemanticConversationResult& c) {
  if (c.chatDisplayName) return *c.chatDisplayName;
  for (const auto& m : c.messages) {
    if (!m.isFromMe) return "Conversation with " + m.senderDisplayName.value_or(m.senderIdentifier);
  }
  return c.chatGUID;
}

void printMessageLine(const MessageSearchResult& r, const char* indent) {
  ModeResult row = MessageModeSearchProvider::modeResult(r);
  std::cout << indent << localDate(secondsSince1970(r.date)) << "  " << printable(row.title) << ": "
            << printable(row.detail) << "\n";
}

// Whether the index was built from the database read now: after a switch its
// message ids name unrelated messages.
Status sameDatabase(MessagesComponents& messages, const UserDefaults& defaults, MessageEmbeddingStore& store,
                    SemanticSession& session) {
  auto snapshot =
      session.await<EmbeddingStoreSnapshot>([&](Completion<EmbeddingStoreSnapshot> done) { store.snapshot(done); });
  if (snapshot.chunkCount == 0) return okStatus();
  auto identity = messages.historyReader->databaseIdentity();
  if (!identity.ok()) return identity.error();
  if (defaults.stringValue(MessageChunkIndexer::kDatabaseIdentityKey) == identity.value()) return okStatus();
  return Error::make("the message index was built from another Messages database than " +
                     inQuotes(messages.access->chatDatabasePath()));
}

int semantic(MessagesComponents& messages, const DataDirectories& dirs, UserDefaults& defaults,
             const std::vector<std::string>& words, std::optional<long long> limit, bool representative, bool json) {
  if (isBlank(words)) return usageError("messages", "semantic needs QUERY");
  if (limit && *limit < 1) return usageError("messages", "--limit must be at least 1");
  if (!messages.access->isFullDiskAccessGranted()) return reportUnreadable(*messages.access);
  SemanticSession session(dirs, defaults, /*readOnly=*/true);
  auto& services = *session.services;
  if (!services.modelFactory().isInstalled()) return modelMissing(services.modelFactory());
  auto store = services.messageStore();
  Status initialized = session.await<Status>([&](Completion<Status> done) { store->initialize(done); });
  if (!initialized.ok()) {
    printError("the message index cannot be opened: " + initialized.error().description());
    return exitStatusFor(initialized.error());
  }
  auto snapshot =
      session.await<EmbeddingStoreSnapshot>([&](Completion<EmbeddingStoreSnapshot> done) { store->snapshot(done); });
  if (!snapshot.builtWithAnotherModel.empty() || snapshot.modelRebuildPercent) {
    printError(stringPrintf("the message index was built with another model; rebuilding (%d%%)",
                            snapshot.modelRebuildPercent.value_or(0)),
               "The agent ('pallix daemon') rebuilds it in the background; 'pallix messages index' rebuilds it now.");
    return kExitUnavailable;
  }
  // The graph loads in the background and a search meanwhile answers nothing: wait for it.
  Status searchable = session.await<Status>([&](Completion<Status> done) { store->waitUntilSearchable(done); });
  if (!searchable.ok()) {
    printError("the message index cannot be loaded: " + searchable.error().description(),
               "Check the model with 'pallix model list'.");
    return kExitUnavailable;
  }
  if (Status same = sameDatabase(messages, defaults, *store, session); !same.ok()) {
    printError(same.error().description(), "Run 'pallix messages index' to index the database read now.");
    return exitStatusFor(same.error());
  }
  messages.attachEmbeddingStore(store);
  const std::string query = joinStrings(words, " ");
  const int n = static_cast<int>(std::min<long long>(limit.value_or(semantic_rules::kDefaultResultLimit), 50));
  size_t found = 0;
  if (representative) {
    auto results = messages.searchService->searchSemanticFallbackResults(query, n);
    found = results.size();
    if (json) {
      nlohmann::json array = nlohmann::json::array();
      for (const auto& r : results) array.push_back(toJson(r));
      printJson(array);
    } else {
      for (const auto& r : results) printMessageLine(r, "");
    }
  } else {
    auto conversations = messages.searchService->searchSemanticConversations(query, n);
    found = conversations.size();
    if (json) {
      nlohmann::json array = nlohmann::json::array();
      for (const auto& c : conversations) array.push_back(toJson(c));
      printJson(array);
    } else {
      for (const auto& c : conversations) {
        std::cout << stringPrintf("%.3f  ", double(c.similarity)) << printable(conversationTitle(c)) << "  ("
                  << c.messages.size() << " messages, " << c.fallbackMethod << ")\n";
        for (const auto& m : c.messages) printMessageLine(m, "       ");
      }
    }
  }
  if (found == 0 && !json) {
    std::cerr << "pallix: no conversation matches " << printable(inQuotes(query))
              << " (is the index built? 'pallix messages index')\n";
  }
  return found == 0 ? kExitFailure : kExitOk;
}

int runMessages(Args& args) {
  bool json = args.flag("--json");
  auto limit = args.intOption("--limit");
  auto chat = args.option("--chat");
  bool watch = args.flag("--watch");
  bool representative = args.flag("--representative");
  auto rest = args.positionals();
  if (args.failed()) return usageError("messages", args.failure());
  if (rest.empty()) {
    return usageError("messages",
                      "needs a subcommand: search, chunks, index, rebuild, semantic, status or import-backup");
  }
  DataDirectories dirs = DataDirectories::fromEnvironment();
  const std::string& sub = rest[0];
  if (limit && sub != "search" && sub != "semantic")
    return usageError("messages", "--limit belongs to search and semantic");
  if (watch && sub != "index") return usageError("messages", "--watch belongs to index");
  if (representative && sub != "semantic") return usageError("messages", "--representative belongs to semantic");
  if (chat && sub != "chunks") return usageError("messages", "--chat belongs to chunks");
  if (sub == "import-backup") return importBackup(dirs, rest);
  UserDefaults defaults(dirs.defaultsPath());
  MessagesComponents messages = MessagesComponents::create(dirs, &defaults);
  if (sub == "search") return search(messages, {rest.begin() + 1, rest.end()}, limit, json);
  if (sub == "semantic") {
    return semantic(messages, dirs, defaults, {rest.begin() + 1, rest.end()}, limit, representative, json);
  }
  if (rest.size() != 1) return usageError("messages", sub + " takes no further arguments");
  if (sub == "chunks") return chunks(messages, chat, json);
  if (sub == "status") return status(messages, json);
  if (sub == "index") return index(messages, dirs, defaults, watch ? IndexRun::watch : IndexRun::catchUp);
  if (sub == "rebuild") return index(messages, dirs, defaults, IndexRun::rebuild);
  return usageError("messages", "unknown subcommand " + inQuotes(sub));
}

}  // namespace

PALLIX_COMMAND("messages", "search messages, show conversation chunks, import a phone backup", kUsage, runMessages);

}  // namespace pallix::cli
