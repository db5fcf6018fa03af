// `pallix semantic`: status, indexing, chunking, search and rebuild of the
// semantic file index. The composition lives in app/semantic/SemanticServices;
// this file parses arguments and formats answers.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <thread>

#include "SimilaritySearchKit/Console.h"
#include "app/platform/DataDirectories.h"
#include "app/platform/linux/LockFileSingleInstance.h"
#include "app/semantic/FileChunking.h"
#include "app/semantic/SemanticServices.h"
#include "app/shell/AgentRequests.h"
#include "cli/AgentPass.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "cli/FilesCommand.h"
#include "cli/StopSignal.h"
#include "core/Strings.h"
#include "core/Utf8.h"

namespace pallix::cli {
namespace {

constexpr const char* kUsage =
    "Usage: pallix semantic status [--json]\n"
    "       pallix semantic index [--folder DIR]... [--watch] [--gentle]\n"
    "       pallix semantic chunks FILE [--json]\n"
    "       pallix semantic search QUERY... [--limit N] [--json]\n"
    "       pallix semantic rebuild [--gentle]\n\n"
    "status   the file and message semantic indexes: readiness, chunk count, files on disk,\n"
    "         whether the embedding model is installed, the index status and the last\n"
    "         completed indexing pass.\n"
    "index    one full pass over the semantic folders (FilesPreferences.indexedFolders, else\n"
    "         the catalog's file folders; --folder replaces them), with progress and a summary.\n"
    "         A folder that does not exist or cannot be read is an error. The pass runs at\n"
    "         full speed and saves as it goes (every 10 s); --gentle pauses after each file\n"
    "         as FilesPreferences.indexingIntensity says, as the agent does. Ctrl-C saves what\n"
    "         was indexed and stops.\n"
    "         --watch keeps polling for changes (every 300 s) until Ctrl-C. While the agent\n"
    "         ('pallix daemon') indexes by meaning, it keeps the index: index asks it to run the\n"
    "         pass (after its own) and shows the progress.\n"
    "chunks   how FILE would be cut into chunks (no model needed).\n"
    "search   the chunks nearest in meaning to QUERY (default 10).\n"
    "rebuild  deletes the file index and indexes the semantic folders again.\n\n"
    "Exit status: 0 done, 1 failed or nothing found, 2 bad arguments, 3 no embedding model\n"
    "installed (install one with 'pallix model install DIR') or the index is unavailable.\n";

// Routes the similarity engine's printed lines to stderr, so stdout stays clean.
struct EngineLinesToStderr {
  EngineLinesToStderr() {
    previous = simkit::setLineHandler([](const std::string& line) { std::cerr << line << "\n"; });
  }
  ~EngineLinesToStderr() { simkit::setLineHandler(previous); }
  simkit::LineHandler previous;
};

// The services with a main loop to wait on.
struct Session {
  DataDirectories dirs = DataDirectories::fromEnvironment();
  std::unique_ptr<UserDefaults> defaults;
  std::shared_ptr<RunLoop> loop = RunLoop::create();
  std::unique_ptr<SemanticServices> services;
  EngineLinesToStderr engineLines;

  // `readOnly`: the command only looks at the indexes and never changes their files.
  explicit Session(bool readOnly, FileChunkIndexer::Tuning tuning = {}) {
    defaults = std::make_unique<UserDefaults>(dirs.defaultsPath());
    SemanticServicesOptions options;
    options.dirs = dirs;
    options.defaults = defaults.get();
    options.tuning = tuning;
    options.readOnly = readOnly;
    services = SemanticServices::create(std::move(options));
  }
  ~Session() { services->shutdown(); }

  // Starts `start` with a completion on the main loop and runs the loop until
  // it answers. Other tasks may quit the loop meanwhile (Ctrl-C, a pass that
  // ends): the wait goes on until the answer is there.
  template <typename T, typename Start>
  T await(Start start) {
    std::optional<T> result;
    start(Completion<T>(loop, [&](T value) {
      result = std::move(value);
      loop->quit();
    }));
    while (!result) loop->run();
    return std::move(*result);
  }
  Status initialize() {
    return await<Status>([&](Completion<Status> done) { services->initialize(done); });
  }
};

std::string humanBytes(uint64_t bytes) {
  if (bytes >= 1024ull * 1024) return stringPrintf("%.1f MB", double(bytes) / (1024.0 * 1024.0));
  if (bytes >= 1024) return stringPrintf("%.1f KB", double(bytes) / 1024.0);
  return std::to_string(bytes) + " B";
}

// A rebuild for a new model is over once the index holds as many chunks as
// the old one, or once a full pass ended after it started (files may have
// gone meanwhile).
std::optional<int> rebuildPercent(const EmbeddingStoreSnapshot& s, IndexingCompletionTracker* tracker) {
  if (!s.modelRebuild) return std::nullopt;
  if (tracker) {
    if (auto completion = tracker->lastCompletion();
        completion && secondsSince1970(completion->timestamp) > s.modelRebuild->startedAt) {
      return std::nullopt;
    }
  }
  return s.modelRebuildPercent;
}

int modelMissing(EmbeddingModelFactory& factory) {
  printError(factory.unavailableMessage(), "Run 'pallix model install DIR' with a bge-small-en model directory.");
  return kExitUnavailable;
}

nlohmann::json snapshotJson(const EmbeddingStoreSnapshot& s, IndexingCompletionTracker* tracker) {
  nlohmann::json files = nlohmann::json::array();
  for (const auto& f : s.files)
    files.push_back({{"name", f.name}, {"sizeBytes", f.sizeBytes}, {"compressed", f.compressed}});
  nlohmann::json j = {{"readiness", readinessStateName(s.readiness)},
                      {"chunkCount", s.chunkCount},
                      {"files", files},
                      {"modelInstalled", s.modelInstalled},
                      {"status", semanticIndexStatusName(s.status)}};
  if (!s.failureMessage.empty()) j["error"] = s.failureMessage;
  if (!s.builtWithAnotherModel.empty()) j["builtWithAnotherModel"] = s.builtWithAnotherModel;
  if (auto percent = rebuildPercent(s, tracker)) {
    j["modelRebuildPercent"] = *percent;
    j["status"] = semanticIndexStatusName(SemanticIndexStatus::rebuilding);
  } else if (s.status == SemanticIndexStatus::rebuilding) {
    j["status"] = semanticIndexStatusName(s.chunkCount == 0 ? SemanticIndexStatus::empty : SemanticIndexStatus::ready);
  }
  return j;
}

int runStatus(Session& session, bool json) {
  Status initialized = session.initialize();
  auto file = session.await<EmbeddingStoreSnapshot>(
      [&](Completion<EmbeddingStoreSnapshot> done) { session.services->fileStore()->snapshot(done); });
  auto message = session.await<EmbeddingStoreSnapshot>(
      [&](Completion<EmbeddingStoreSnapshot> done) { session.services->messageStore()->snapshot(done); });
  auto completion = session.services->fileCompletionTracker().lastCompletion();
  const auto folders = SemanticServices::semanticFolders(*session.defaults, session.dirs);
  if (json) {
    nlohmann::json j = {{"storeDirectory", session.services->storeDirectory()},
                        {"modelInstalled", session.services->modelFactory().isInstalled()},
                        {"folders", folders},
                        {"files", snapshotJson(file, &session.services->fileCompletionTracker())},
                        {"messages", snapshotJson(message, nullptr)}};
    if (completion) {
      j["lastCompletion"] = {{"timestamp", secondsSince1970(completion->timestamp)},
                             {"fileCount", completion->fileCount},
                             {"contentHash", completion->contentHash}};
    }
    printJson(j);
  } else {
    std::cout << "Model: " << (session.services->modelFactory().isInstalled() ? "installed" : "not installed") << "\n";
    for (const auto& [label, s] : {std::pair{"File index", &file}, std::pair{"Message index", &message}}) {
      const auto percent = rebuildPercent(*s, s == &file ? &session.services->fileCompletionTracker() : nullptr);
      SemanticIndexStatus status = s->status;
      if (status == SemanticIndexStatus::rebuilding && !percent) {
        status = s->chunkCount == 0 ? SemanticIndexStatus::empty : SemanticIndexStatus::ready;
      }
      std::cout << label << ": " << semanticIndexStatusName(status) << " (" << readinessStateName(s->readiness) << "), "
                << s->chunkCount << " chunks\n";
      for (const auto& f : s->files) {
        std::cout << "  " << f.name << "  " << humanBytes(f.sizeBytes) << (f.compressed ? " (LZFSE)" : "") << "\n";
      }
      if (!s->failureMessage.empty()) std::cout << "  error: " << s->failureMessage << "\n";
      if (!s->builtWithAnotherModel.empty()) {
        std::cout << "  stale: " << s->builtWithAnotherModel
                  << "; the agent ('pallix daemon') rebuilds it in the background, 'pallix semantic index' now\n";
      }
      if (percent) std::cout << "  rebuilding for the installed model (" << *percent << "%)\n";
    }
    std::cout << "Semantic folders: " << (folders.empty() ? "(none)" : joinStrings(folders, ", ")) << "\n";
    if (completion) {
      std::cout << "Last completed pass: " << formatHeaderDate(secondsSince1970(completion->timestamp)) << ", "
                << completion->fileCount << " files\n";
    }
    if (!session.services->modelFactory().isInstalled()) {
      std::cout << "Install an embedding model with 'pallix model install DIR' to enable semantic search.\n";
    }
  }
  return initialized.ok() ? kExitOk : kExitFailure;
}

int runChunks(const std::vector<std::string>& rest, bool json) {
  if (rest.size() != 2) return usageError("semantic", "chunks takes one FILE");
  std::error_code ec;
  const std::string path = std::filesystem::absolute(rest[1], ec).lexically_normal().string();
  auto text = readTextFile(path);
  if (!text.ok()) {
    printError("cannot chunk " + path + ": " + text.error().description(), "Only UTF-8 text files are indexed.");
    return exitStatusFor(text.error());
  }
  auto described = describeFile(path);
  if (!described.ok()) {
    printError(described.error().description());
    return exitStatusFor(described.error());
  }
  const auto chunks = makeFileChunks(described.value(), text.value());
  if (json) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& chunk : chunks) {
      nlohmann::json j(chunk.metadata);
      j["id"] = chunk.id;
      j["text"] = chunk.text;
      array.push_back(j);
    }
    printJson(array);
    return kExitOk;
  }
  for (const auto& chunk : chunks) {
    const auto header = chunk.text.substr(0, chunk.text.find('\n'));
    std::cout << chunk.id << "  [" << chunk.metadata.at("startOffset") << ", " << chunk.metadata.at("endOffset")
              << ")\n"
              << header << "\n"
              << chunk.metadata.at("chunkText") << "\n\n";
  }
  std::cout << chunks.size() << " chunks\n";
  return kExitOk;
}

int runSearch(Session& session, const std::string& query, int limit, bool json) {
  if (!session.services->modelFactory().isInstalled()) return modelMissing(session.services->modelFactory());
  Status initialized = session.initialize();
  if (!initialized.ok()) {
    printError("the file index cannot be opened: " + initialized.error().description());
    return exitStatusFor(initialized.error());
  }
  auto snapshot = session.await<EmbeddingStoreSnapshot>(
      [&](Completion<EmbeddingStoreSnapshot> done) { session.services->fileStore()->snapshot(done); });
  const auto percent = rebuildPercent(snapshot, &session.services->fileCompletionTracker());
  if (!snapshot.builtWithAnotherModel.empty() || percent) {
    printError(stringPrintf("the file index was built with another model; rebuilding (%d%%)", percent.value_or(0)),
               "The agent ('pallix daemon') rebuilds it in the background; 'pallix semantic index' rebuilds it now.");
    return kExitUnavailable;
  }
  // The graph loads in the background, and a search meanwhile answers nothing: wait for it.
  auto loaded =
      session.await<Status>([&](Completion<Status> done) { session.services->fileStore()->waitUntilSearchable(done); });
  if (!loaded.ok()) {
    printError("the file index cannot be loaded: " + loaded.error().description(),
               "Check the model with 'pallix model list'.");
    return kExitUnavailable;
  }
  auto results = session.await<std::vector<SemanticResult>>(
      [&](Completion<std::vector<SemanticResult>> done) { session.services->bridge().search(query, limit, done); });
  if (json) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& r : results) {
      array.push_back({{"similarity", r.similarity},
                       {"filePath", toValidUtf8(r.filePath)},
                       {"chunkID", r.chunkID},
                       {"chunkIndex", r.chunk.chunkIndex},
                       {"chunkText", r.chunk.chunkText},
                       {"why", matchReasonJson(r.why)}});
      // The path's own bytes, when JSON cannot hold them.
      if (auto metadata = r.chunk.toMap(); metadata.count(FileChunkMetadata::kFilePathBytesKey)) {
        array.back()[FileChunkMetadata::kFilePathBytesKey] = metadata[FileChunkMetadata::kFilePathBytesKey];
      }
    }
    printJson(array);
  } else {
    const bool colour = reasonsShown() && colourWanted();
    for (const auto& r : results) {
      std::cout << stringPrintf("%.3f  ", r.similarity) << r.filePath << " (chunk " << r.chunk.chunkIndex + 1 << "/"
                << r.chunk.totalChunks << ")\n       " << reasonLine(r.why, colour) << "\n";
    }
    if (results.empty()) std::cerr << "pallix: no semantic matches (is the index built? 'pallix semantic status')\n";
  }
  return results.empty() ? kExitFailure : kExitOk;
}

// Stops the main loop on SIGINT/SIGTERM.
void installStopHandler(const std::shared_ptr<RunLoop>& loop, bool& interrupted) {
  (void)installStopSignalHandler([loop, &interrupted] {
    loop->post([loop, &interrupted] {
      interrupted = true;
      loop->quit();
    });
  });
}

std::string summaryLine(const FileChunkIndexer::PassSummary& s) {
  const double rate = s.elapsedSeconds > 0 ? double(s.chunksAdded) / s.elapsedSeconds : 0;
  return stringPrintf(
      "%lld files: %lld indexed, %lld unchanged, %lld skipped (not text); %lld chunks in %.1f s (%.1f chunks/s)",
      static_cast<long long>(s.totalFiles), static_cast<long long>(s.indexedFiles),
      static_cast<long long>(s.unchangedFiles), static_cast<long long>(s.failedFiles),
      static_cast<long long>(s.chunksAdded), s.elapsedSeconds, rate);
}

// How a pass ended, as an exit status, with what to do about it on stderr.
int passExitStatus(const FileChunkIndexer::PassSummary& summary) {
  using Outcome = FileChunkIndexer::PassSummary::Outcome;
  if (summary.outcome == Outcome::failed && summary.embeddingFailed) {
    printError("indexing failed: the embedding model could not embed the files: " + summary.detail,
               "Nothing of this pass counts as indexed. Check the model with 'pallix model list' (reinstall it with "
               "'pallix model install DIR'), then run 'pallix semantic index' again.");
    return kExitUnavailable;
  }
  if (summary.outcome == Outcome::failed) {
    if (!summary.detail.empty()) printError("indexing failed: " + summary.detail);
    return kExitFailure;
  }
  if (summary.outcome == Outcome::interrupted) {
    printError(
        "indexing stopped before the end (the machine was too hot or short of memory, or the pass stalled); "
        "the chunks indexed so far are saved",
        "Run 'pallix semantic index' again later; it continues where it stopped.");
    return kExitFailure;
  }
  if (summary.outcome == Outcome::deferred) {
    printError("indexing was deferred: " + summary.detail, "Check 'pallix semantic status' and try again.");
    return kExitFailure;
  }
  return kExitOk;
}

// What the command shows of the agent's answer about a pass.
Result<AgentPassView> semanticPassView(const std::string& answer) {
  PALLIX_ASSIGN_OR_RETURN(SemanticPassReport report, decodeSemanticPassReport(answer));
  AgentPassView view{report.pass.id, report.pass.state,
                     stringPrintf("%lld/%lld files", static_cast<long long>(report.indexedFiles),
                                  static_cast<long long>(report.totalFiles))};
  view.finish = [summary = report.pass.summary] {
    std::cout << summaryLine(summary) << "\n";
    return passExitStatus(summary);
  };
  return view;
}

// The running agent keeps the semantic index (it holds the writer lock):
// it runs the pass, and this command shows its progress until the pass is
// done. nullopt when no agent answers (another command holds the lock).
std::optional<int> runPassInTheAgent(const Session& session, bool ownFolders, bool watch, bool rebuild) {
  const std::string socket = session.dirs.socketPath();
  if (ownFolders || watch || rebuild) {
    // Any answer, a refusal included, means that an agent runs.
    if (!LockFileSingleInstance::request(socket, std::string(kAgentSemanticPassRequestPrefix) + "0").ok()) {
      return std::nullopt;
    }
    printError("the running Pallix agent keeps the semantic index and indexes its own folders",
               "Run 'pallix semantic index' without --folder, --watch or rebuild to have it run a pass now, or stop "
               "the agent first.");
    return kExitFailure;
  }
  auto asked = LockFileSingleInstance::request(socket, kAgentSemanticIndexRequest);
  if (!asked.ok()) return std::nullopt;
  auto first = semanticPassView(asked.value());
  if (!first.ok()) {
    printError("the running Pallix agent keeps the semantic index: " + first.error().description(),
               "Turn FilesPreferences.semanticSearchEnabled on to have it index, or stop it to index from here.");
    return exitStatusFor(first.error());
  }
  return followAgentPass({socket, kAgentSemanticPassRequestPrefix, "the semantic index", "pallix semantic index",
                          "pallix semantic status", semanticPassView},
                         std::move(first).value());
}

// Why `folder` cannot be indexed, or nullopt when it can be listed.
std::optional<std::string> unusableFolder(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    const int err = errno;
    return err == ENOENT ? "no folder " + folder : "cannot examine " + folder + ": " + std::strerror(err);
  }
  if (!S_ISDIR(st.st_mode)) return folder + " is not a folder";
  DIR* listing = ::opendir(folder.c_str());
  if (!listing) {
    const int err = errno;
    return "cannot read the folder " + folder + ": " + std::strerror(err);
  }
  ::closedir(listing);
  return std::nullopt;
}

int runIndex(Session& session, std::vector<std::string> folders, bool watch, bool rebuild) {
  // A mistyped folder would leave nothing to index, and the pass would
  // remove what the index holds outside it.
  for (auto& folder : folders) {
    std::error_code ec;
    folder = std::filesystem::absolute(folder, ec).lexically_normal().string();
    if (auto problem = unusableFolder(folder)) {
      printError(*problem, "Nothing was indexed and the index is unchanged. Check the --folder path.");
      return kExitUsage;
    }
  }
  auto& services = *session.services;
  if (!services.modelFactory().isInstalled()) return modelMissing(services.modelFactory());
  auto lock = SemanticWriterLock::acquire(services.storeDirectory());
  if (!lock.ok()) {
    if (auto status = runPassInTheAgent(session, !folders.empty(), watch, rebuild)) return *status;
    printError(lock.error().description());
    return exitStatusFor(lock.error());
  }
  Status initialized = session.initialize();
  if (!initialized.ok()) {
    printError("the file index cannot be opened: " + initialized.error().description());
    return exitStatusFor(initialized.error());
  }
  if (folders.empty()) {
    folders = SemanticServices::semanticFolders(*session.defaults, session.dirs);
    for (auto& folder : folders) {
      std::error_code ec;
      folder = std::filesystem::absolute(folder, ec).lexically_normal().string();
      if (auto problem = unusableFolder(folder)) {
        std::cerr << "pallix: " << printable(*problem) << "; what was indexed there is kept.\n";
      }
    }
  }
  if (folders.empty()) {
    printError("no folders to index",
               "Pass --folder DIR or set them with 'pallix prefs set FilesPreferences.indexedFolders'.");
    return kExitUnavailable;
  }
  bool interrupted = false;
  installStopHandler(session.loop, interrupted);
  auto& indexer = *services.fileIndexer();
  indexer.setWorkMode(WorkMode::idle);
  const auto started = std::chrono::steady_clock::now();
  indexer.setProgressObserver(
      Completion<FileChunkIndexer::Progress>(session.loop, [started](FileChunkIndexer::Progress p) {
        if (!p.isIndexing) return clearProgress();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        printProgress(stringPrintf("%lld/%lld files  %.1f chunks/s  ", static_cast<long long>(p.indexedFiles),
                                   static_cast<long long>(p.totalFiles),
                                   seconds > 0 ? double(p.chunksAdded) / seconds : 0.0) +
                      p.currentFileName);
      }));

  std::optional<FileChunkIndexer::PassSummary> summary;
  if (rebuild) {
    Status rebuilt = session.await<Status>(
        [&](Completion<Status> done) { indexer.rebuildIndex(FileChunkIndexer::RebuildTrigger::user, done); });
    if (!rebuilt.ok()) {
      printError("rebuild failed: " + rebuilt.error().description());
      return exitStatusFor(rebuilt.error());
    }
  }
  if (watch) {
    indexer.startContinuousIndexing(folders);
    std::cerr << "pallix: indexing " << printable(joinStrings(folders, ", "))
              << " and watching for changes; Ctrl-C stops.\n";
    session.loop->run();
  } else {
    // The rebuild already started its pass over the folders it knew; run ours after it.
    session.loop->post([&] {
      indexer.runFullPass(folders,
                          Completion<FileChunkIndexer::PassSummary>(session.loop, [&](FileChunkIndexer::PassSummary s) {
                            summary = s;
                            session.loop->quit();
                          }));
    });
    session.loop->run();
  }
  clearProgress();
  indexer.stop();
  Status saved = session.await<Status>([&](Completion<Status> done) { services.fileStore()->save(done); });
  if (summary && !summary->embeddingFailed) std::cout << summaryLine(*summary) << "\n";
  if (interrupted) {
    if (saved.ok()) {
      std::cerr << "pallix: interrupted; the chunks indexed so far are saved.\n";
    } else {
      printError("interrupted, and saving the index failed: " + saved.error().description());
    }
    return kExitInterrupted;
  }
  if (!saved.ok()) printError("saving the index failed: " + saved.error().description());
  if (summary) {
    if (int status = passExitStatus(*summary); status != kExitOk) return status;
  }
  return saved.ok() ? kExitOk : kExitFailure;
}

int runSemantic(Args& args) {
  const bool json = args.flag("--json");
  const bool watch = args.flag("--watch");
  const bool gentle = args.flag("--gentle");
  auto limit = args.intOption("--limit");
  std::vector<std::string> folders;
  while (auto folder = args.option("--folder")) folders.push_back(*folder);
  auto rest = args.positionals();
  if (args.failed()) return usageError("semantic", args.failure());
  if (rest.empty()) return usageError("semantic", "missing subcommand (status, index, chunks, search or rebuild)");
  const std::string& sub = rest[0];
  if (sub == "chunks") return runChunks(rest, json);
  if (limit && (*limit < 1 || *limit > 1000)) return usageError("semantic", "--limit must be between 1 and 1000");
  // In the foreground the user waits for the pass: no pauses between files unless asked.
  FileChunkIndexer::Tuning tuning;
  if (!gentle) tuning.perFilePauseOverride = Duration::zero();
  Session session(/*readOnly=*/sub == "status" || sub == "search", tuning);
  if (sub == "status") {
    if (rest.size() != 1) return usageError("semantic", "status takes no arguments");
    return runStatus(session, json);
  }
  if (sub == "index") {
    if (rest.size() != 1) return usageError("semantic", "index takes folders only through --folder");
    return runIndex(session, folders, watch, false);
  }
  if (sub == "rebuild") {
    if (rest.size() != 1) return usageError("semantic", "rebuild takes no arguments");
    return runIndex(session, {}, false, true);
  }
  if (sub == "search") {
    if (rest.size() < 2) return usageError("semantic", "search needs a QUERY");
    return runSearch(session, joinStrings(std::vector<std::string>(rest.begin() + 1, rest.end()), " "),
                     int(limit.value_or(10)), json);
  }
  return usageError("semantic", "unknown subcommand '" + sub + "'");
}

}  // namespace

PALLIX_COMMAND("semantic", "index and search file contents by meaning", kUsage, runSemantic);

}  // namespace pallix::cli
