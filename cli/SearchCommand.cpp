// pallix search, pallix files and pallix open: one-shot searches over the
// catalog, and activation of a printed result.
#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "app/search/FileSearcher.h"
#include "app/search/QueryParser.h"
#include "app/shell/AppRuntime.h"
#include "app/shell/TelemetryPreferences.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "cli/IntelligenceDisplay.h"
#include "cli/LastResults.h"
#include "core/Formatting.h"
#include "core/Strings.h"
#include "core/Telemetry.h"

namespace pallix::cli {
namespace {

nlohmann::json appJson(const IndexedItem& app) {
  nlohmann::json j = {{"path", app.path}, {"name", app.name}, {"itemTypeRaw", app.itemTypeRaw}};
  if (app.bundleIdentifier) j["bundleIdentifier"] = *app.bundleIdentifier;
  if (app.version) j["version"] = *app.version;
  j["domainPriority"] = app.domainPriority;
  j["isPinned"] = app.isPinned;
  return j;
}

nlohmann::json fileJson(const FileSearchResult& r) {
  nlohmann::json j = {{"path", r.item.path},
                      {"name", r.item.name},
                      {"itemTypeRaw", r.item.itemTypeRaw},
                      {"relevanceScore", r.relevanceScore},
                      {"matchType", fileMatchTypeRawValue(r.matchType)},
                      {"sizeBytes", r.item.sizeBytes}};
  if (r.item.fileExtension) j["fileExtension"] = *r.item.fileExtension;
  if (r.item.modifiedDate) j["modifiedDate"] = secondsSince1970(*r.item.modifiedDate);
  return j;
}

// Opens the session over the catalog; `recordUse` when a result will be
// activated (a launch writes its last use).
Result<std::unique_ptr<AppRuntime>> openRuntime(const std::string& command, bool recordUse) {
  auto runtime = AppRuntime::open(recordUse ? AppRuntime::Access::recordUse : AppRuntime::Access::read);
  if (!runtime.ok()) {
    CatalogOpenFailure failure = describeCatalogOpenFailure(runtime.error());
    printError(command + ": " + failure.message, failure.hint);
    return runtime.error();
  }
  if (runtime.value()->catalogSize() == 0) {
    std::cerr << "pallix: the catalog is empty; run 'pallix index' to build it.\n";
  }
  return runtime;
}

// Activates result `number` through the search session. With `json` the
// note goes to stderr, so stdout holds nothing but the JSON document.
int activateNumber(AppRuntime& rt, const std::vector<LastResult>& results, long long number, bool reveal, bool json) {
  if (results.empty()) {
    printError("the last search found nothing to open", "Run 'pallix search TEXT' or 'pallix files QUERY' first.");
    return kExitFailure;
  }
  if (number < 1 || number > static_cast<long long>(results.size())) {
    printError("there is no result " + std::to_string(number) + " (results are numbered 1 to " +
               std::to_string(results.size()) + ")");
    return kExitUsage;
  }
  const LastResult& chosen = results[static_cast<size_t>(number - 1)];
  // The session reports the activation as it does in the panel, kept (on
  // this machine) only while telemetry is on.
  if (TelemetryPreferences(*rt.defaults).telemetryEnabled()) {
    TelemetryService::install(std::make_shared<JsonLinesTelemetrySink>(rt.dirs.telemetryPath()));
  }
  CatalogStore catalog(*rt.store);
  Status status = activateLastResult(*rt.model, rt.workspace, catalog, chosen, reveal);
  if (!status.ok()) {
    printError("could not open " + chosen.path + ": " + status.error().description(),
               "Run the search again; the catalog may have changed ('pallix index').");
    return kExitFailure;
  }
  (json ? std::cerr : std::cout) << (reveal                 ? "Revealed "
                                     : chosen.kind == "app" ? "Launched "
                                                            : "Opened ")
                                 << printable(chosen.name) << "\n";
  return kExitOk;
}

int runSearch(Args& args) {
  bool json = args.flag("--json");
  auto open = args.intOption("--open");
  auto words = args.positionals();
  if (args.failed()) return usageError("search", args.failure());
  if (words.empty()) return usageError("search", "needs the text to search for");
  auto runtime = openRuntime("search", open.has_value());
  if (!runtime.ok()) return kExitUnavailable;
  AppRuntime& rt = *runtime.value();
  const std::string text = joinStrings(words, " ");
  rt.model->handleSearchTextChange(text);
  rt.model->flushPendingSearch();
  // Long enough for the remote sources' own time-outs; local answers are in at once.
  rt.settle(std::chrono::seconds(8));

  std::vector<LastResult> listed;
  std::vector<IndexedItem> apps = rt.model->selectionCandidates();
  const auto& files = rt.model->filePreviewResults();
  std::vector<IndexedItem> shown = apps;
  for (const auto& f : files) shown.push_back(f.item);
  const std::vector<std::string> names = displayNames(shown);
  for (size_t i = 0; i < apps.size(); ++i) {
    listed.push_back({"app", apps[i].path, names[i], apps[i].bundleIdentifier.value_or(""), ""});
  }
  for (size_t i = 0; i < files.size(); ++i) {
    listed.push_back(
        {"file", files[i].item.path, names[apps.size() + i], "", fileMatchTypeRawValue(files[i].matchType)});
  }
  Status saved = saveLastResults(rt.dirs, listed);
  (void)saved;  // Only `pallix open` needs it; a read-only cache is no reason to fail.

  if (open && !json) return activateNumber(rt, listed, *open, false, false);
  const IntelligencePresentationState& answers = rt.intelligence->intelligenceState();
  const bool hasAnswer = answers.calculatorResult || answers.weatherSnapshot || !answers.mapResults.empty() ||
                         !answers.calendarResults.empty() || answers.dictionaryResult || answers.wikipediaArticle;
  if (json) {
    nlohmann::json out = {{"query", text}, {"apps", nlohmann::json::array()}, {"files", nlohmann::json::array()}};
    for (const auto& app : apps) out["apps"].push_back(appJson(app));
    for (const auto& f : files) out["files"].push_back(fileJson(f));
    out["intelligence"] = intelligenceJson(answers, rt.intelligence->widgetStates());
    printJson(out);
    if (open) return activateNumber(rt, listed, *open, false, true);
    return listed.empty() && !hasAnswer ? kExitFailure : kExitOk;
  }
  const std::vector<std::string> answerLines = intelligenceLines(rt.intelligence.get());
  for (const std::string& line : answerLines) std::cout << line << "\n";
  if (!answerLines.empty() && !listed.empty()) std::cout << "\n";
  size_t n = 0;
  if (!apps.empty()) std::cout << "Applications\n";
  for (const auto& app : apps) {
    std::cout << stringPrintf("%3zu  ", n + 1) << printableColumn(names[n], 32) << " " << printable(app.path) << "\n";
    ++n;
  }
  if (!files.empty()) std::cout << (apps.empty() ? "" : "\n") << "Files\n";
  for (const auto& f : files) {
    std::cout << stringPrintf("%3zu  ", n + 1) << printableColumn(names[n], 32) << " " << printable(f.item.path)
              << "\n";
    ++n;
  }
  if (listed.empty()) {
    if (hasAnswer) return kExitOk;
    std::cout << "No results for " << printable(inQuotes(text)) << ".\n";
    return kExitFailure;
  }
  std::cout << "\nOpen one with 'pallix open N'.\n";
  return kExitOk;
}

int runFiles(Args& args) {
  bool json = args.flag("--json");
  auto limit = args.intOption("--limit");
  auto open = args.intOption("--open");
  auto words = args.positionals();
  if (args.failed()) return usageError("files", args.failure());
  if (words.empty()) return usageError("files", "needs a query (words, ext:pdf, size:>2mb, after:2024-01-01, ...)");
  if (limit && (*limit < 1 || *limit > 10000)) return usageError("files", "--limit must be between 1 and 10000");
  const std::string text = joinStrings(words, " ");
  const ParsedQuery query = QueryParser::parse(text);
  if (Status valid = FileSearcher::validate(query); !valid.ok())
    return usageError("files", valid.error().description());
  auto runtime = openRuntime("files", open.has_value());
  if (!runtime.ok()) return kExitUnavailable;
  AppRuntime& rt = *runtime.value();
  auto page = FileSearcher::searchPage(rt.store->handle(), query, static_cast<int>(limit.value_or(50)),
                                       DateContext::current(SystemClock::instance()));
  if (!page.ok()) {
    printError("files: the search failed: " + page.error().description());
    return kExitFailure;
  }
  const std::vector<FileSearchResult>& results = page->results;
  std::vector<LastResult> listed;
  std::vector<IndexedItem> shown;
  for (const auto& f : results) shown.push_back(f.item);
  const std::vector<std::string> names = displayNames(shown);
  for (size_t i = 0; i < shown.size(); ++i) {
    listed.push_back({"file", shown[i].path, names[i], "", fileMatchTypeRawValue(results[i].matchType)});
  }
  Status saved = saveLastResults(rt.dirs, listed);
  (void)saved;
  if (open && !json) return activateNumber(rt, listed, *open, false, false);
  const std::optional<FileSearchCut>& cut = page->cut;
  if (json) {
    nlohmann::json out = {{"query", text}, {"files", nlohmann::json::array()}};
    for (const auto& f : results) out["files"].push_back(fileJson(f));
    if (cut) out["cut"] = {{"shown", cut->shown}, {"matches", cut->matches}, {"atLeast", cut->matchesIsLowerBound}};
    printJson(out);
    if (open) return activateNumber(rt, listed, *open, false, true);
    return results.empty() ? kExitFailure : kExitOk;
  }
  size_t n = 0;
  for (const auto& f : results) {
    std::cout << stringPrintf("%3zu  %4.2f  %-10s %9s  %s\n", ++n, static_cast<double>(f.relevanceScore),
                              fileMatchTypeRawValue(f.matchType), humanSize(f.item.sizeBytes).c_str(),
                              printable(f.item.path).c_str());
  }
  if (results.empty()) {
    std::cout << "No files match " << printable(inQuotes(text)) << ".\n";
    return kExitFailure;
  }
  if (cut) {
    std::cout << "\nShowing " << cut->shown << " of " << (cut->matchesIsLowerBound ? "at least " : "") << cut->matches
              << " files: a query without words lists at most " << FileSearcher::kFilterOnlyLimit
              << ". Add words or filters to narrow it.\n";
  }
  return kExitOk;
}

int runOpen(Args& args) {
  bool reveal = args.flag("--reveal");
  bool json = args.flag("--json");
  auto rest = args.positionals();
  if (args.failed()) return usageError("open", args.failure());
  if (rest.size() != 1) return usageError("open", "needs the number of a result");
  long long number = 0;
  try {
    size_t used = 0;
    number = std::stoll(rest[0], &used);
    if (used != rest[0].size()) throw std::invalid_argument(rest[0]);
  } catch (...) {
    return usageError("open", inQuotes(rest[0]) + " is not a result number");
  }
  auto results = loadLastResults(DataDirectories::fromEnvironment());
  if (!results.ok()) {
    printError(results.error().description());
    return kExitFailure;
  }
  auto runtime = openRuntime("open", true);
  if (!runtime.ok()) return kExitUnavailable;
  int code = activateNumber(*runtime.value(), results.value(), number, reveal, json);
  if (json && code == kExitOk) {
    const LastResult& chosen = results.value()[static_cast<size_t>(number - 1)];
    printJson({{"opened", {{"number", number}, {"kind", chosen.kind}, {"path", chosen.path}, {"reveal", reveal}}}});
  }
  return code;
}

}  // namespace

PALLIX_COMMAND("search", "search apps (and files, when asked) as the panel does",
               "Usage: pallix search TEXT... [--json] [--open N]\n\n"
               "Runs one settled search of the standard mode: the best four applications, and the files\n"
               "preview when the words ask for files (\"budget files\").\n\n"
               "  --json     print the results as JSON (apps and files with their record fields)\n"
               "  --open N   open result N at once; with --json the results still come alone on stdout\n\n"
               "Exit status: 0 results found, 1 nothing found, 2 usage error, 3 no catalog.\n",
               runSearch);

PALLIX_COMMAND("files", "search files with power queries",
               "Usage: pallix files QUERY... [--json] [--limit N] [--open N]\n\n"
               "Searches the file catalog, best matches first. Words match file names (the name may be typed\n"
               "with its extension: report.pdf); find extensions with ext:. Besides words, a query may hold:\n"
               "  ext:pdf,docx  type:image  size:>2mb  after:2024-01-01  before:2024-06  modified:today\n"
               "  created:week  in:projects  app:org.gnome.Maps  is:folder  \"exact phrase\"  /regex/  NOT ext:tmp\n\n"
               "  app:ID  files inside a Flatpak or Snap application's folders belong to that application:\n"
               "          app:org.gnome.Maps finds them by its ID (any part of it: app:gnome).\n"
               "  A query without words (only filters) lists at most 100 files and says so when there are more.\n\n"
               "  --json      print {\"query\", \"files\": [path, name, relevanceScore, matchType, ...]} and, when\n"
               "              the list was cut, \"cut\": {\"shown\", \"matches\", \"atLeast\"}\n"
               "  --limit N   at most N results (default 50)\n"
               "  --open N    open result N at once; with --json the results still come alone on stdout\n\n"
               "Exit status: 0 results found, 1 nothing found, 2 usage error or invalid query, 3 no catalog.\n",
               runFiles);

PALLIX_COMMAND("open", "open a result of the last search",
               "Usage: pallix open N [--reveal] [--json]\n\n"
               "Launches the application or opens the file numbered N in the last 'pallix search' or\n"
               "'pallix files' output, as the panel does (a launch is remembered for ranking);\n"
               "--reveal shows it in the file manager instead. --json prints what was opened as JSON.\n\n"
               "Exit status: 0 opened, 1 it could not be opened, 2 no such result, 3 no catalog.\n",
               runOpen);

}  // namespace pallix::cli
