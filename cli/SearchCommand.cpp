// pallix search, pallix files (opening through the session; the search
// itself is in FilesCommand.cpp) and pallix open: one-shot searches over the
// catalog, and activation of a printed result.
#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "app/preferences/TelemetryPreferences.h"
#include "app/search/FileSearcher.h"
#include "app/search/QueryParser.h"
#include "app/shell/AppRuntime.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "cli/FilesCommand.h"
#include "cli/IntelligenceDisplay.h"
#include "cli/ResultActivation.h"
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

// Opens the session over the catalog: recordUse when a result will be
// activated (a launch writes its last use); with readOrEmpty a missing or
// unusable catalog is only noted, and the rest of the answer still comes.
Result<std::unique_ptr<AppRuntime>> openRuntime(const std::string& command, AppRuntime::Access access) {
  auto runtime = AppRuntime::open(access, nullptr, AppRuntime::Highlights::none);
  if (!runtime.ok()) {
    CatalogOpenFailure failure = describeCatalogOpenFailure(runtime.error());
    printError(command + ": " + failure.message, failure.hint);
    return runtime.error();
  }
  AppRuntime& rt = *runtime.value();
  if (rt.catalogFailure) {
    CatalogOpenFailure failure = describeCatalogOpenFailure(*rt.catalogFailure);
    std::cerr << "pallix: " << printable(failure.message) << " (apps and files are left out). " << failure.hint << "\n";
  } else if (!rt.catalogComplete()) {
    std::cerr << kIncompleteCatalogNote;
  } else if (rt.catalogSize() == 0) {
    std::cerr << "pallix: the catalog is empty; run 'pallix index' to build it.\n";
  }
  return runtime;
}

// The status of a search that found nothing: the catalog was missing,
// damaged or partial (3), or it simply holds no match (1).
int nothingFoundStatus(AppRuntime& rt) {
  return rt.catalogFailure || !rt.catalogComplete() ? kExitUnavailable : kExitFailure;
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
  auto runtime = openRuntime("search", open ? AppRuntime::Access::recordUse : AppRuntime::Access::readOrEmpty);
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
                         !answers.contactResults.empty() || !answers.calendarResults.empty() ||
                         answers.dictionaryResult || answers.wikipediaArticle;
  if (json) {
    nlohmann::json out = {{"query", text}, {"apps", nlohmann::json::array()}, {"files", nlohmann::json::array()}};
    for (const auto& app : apps) out["apps"].push_back(appJson(app));
    for (const auto& f : files) out["files"].push_back(fileResultJson(f));
    out["intelligence"] = intelligenceJson(answers, rt.intelligence->widgetStates());
    printJson(out);
    if (open) return activateNumber(rt, listed, *open, false, true);
    return listed.empty() && !hasAnswer ? nothingFoundStatus(rt) : kExitOk;
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
    return nothingFoundStatus(rt);
  }
  std::cout << "\nOpen one with 'pallix open N'.\n";
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
    return exitStatusFor(results.error());
  }
  auto runtime = openRuntime("open", AppRuntime::Access::recordUse);
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

// Opening a result needs the session.
PALLIX_COMMAND("files", kFilesSummary, kFilesUsage, [](Args& args) {
  return runFiles(args, [](const std::vector<LastResult>& listed, long long number, bool json) {
    auto runtime = openRuntime("files", AppRuntime::Access::recordUse);
    if (!runtime.ok()) return kExitUnavailable;
    return activateNumber(*runtime.value(), listed, number, false, json);
  });
});

PALLIX_COMMAND("open", "open a result of the last search",
               "Usage: pallix open N [--reveal] [--json]\n\n"
               "Launches the application or opens the file numbered N in the last 'pallix search' or\n"
               "'pallix files' output, as the panel does (a launch is remembered for ranking);\n"
               "--reveal shows it in the file manager instead. --json prints what was opened as JSON.\n\n"
               "Exit status: 0 opened, 1 it could not be opened, 2 no such result, 3 no catalog.\n",
               runOpen);

}  // namespace pallix::cli
