// pallix search, pallix files and pallix open: one-shot searches over the
// catalog, and activation of a printed result.
#include <cstdio>
#include <iostream>

#include "app/platform/linux/LinuxWorkspace.h"
#include "app/search/FileSearcher.h"
#include "app/search/QueryParser.h"
#include "cli/AppRuntime.h"
#include "cli/Command.h"
#include "core/Strings.h"

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

std::string humanSize(int64_t bytes) {
  const char* units[] = {"B", "KB", "MB", "GB", "TB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1000 && u < 4) {
    v /= 1000;
    ++u;
  }
  return u == 0 ? stringPrintf("%lld B", static_cast<long long>(bytes)) : stringPrintf("%.1f %s", v, units[u]);
}

Result<std::unique_ptr<AppRuntime>> openRuntime(const std::string& command) {
  auto runtime = AppRuntime::open();
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

int activateNumber(Workspace& workspace, const std::vector<LastResult>& results, long long number, bool reveal) {
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
  Status status = activateResult(workspace, chosen, reveal);
  if (!status.ok()) {
    printError("could not open " + chosen.path + ": " + status.error().description());
    return kExitFailure;
  }
  std::cout << (reveal ? "Revealed " : chosen.kind == "app" ? "Launched " : "Opened ") << chosen.name << "\n";
  return kExitOk;
}

int runSearch(Args& args) {
  bool json = args.flag("--json");
  auto open = args.intOption("--open");
  auto words = args.positionals();
  if (args.failed()) return usageError("search", args.failure());
  if (words.empty()) return usageError("search", "needs the text to search for");
  auto runtime = openRuntime("search");
  if (!runtime.ok()) return kExitUnavailable;
  AppRuntime& rt = *runtime.value();
  const std::string text = joinStrings(words, " ");
  rt.model->handleSearchTextChange(text);
  rt.model->flushPendingSearch();
  rt.settle();

  std::vector<LastResult> listed;
  std::vector<IndexedItem> apps = rt.model->selectionCandidates();
  const auto& files = rt.model->filePreviewResults();
  for (const auto& app : apps) listed.push_back({"app", app.path, app.name, app.bundleIdentifier.value_or("")});
  for (const auto& f : files) listed.push_back({"file", f.item.path, f.item.name, ""});
  Status saved = saveLastResults(rt.dirs, listed);
  (void)saved;  // Only `pallix open` needs it; a read-only cache is no reason to fail.

  if (open) return activateNumber(*rt.workspace, listed, *open, false);
  const IntelligencePresentationState& answers = rt.intelligence->intelligenceState();
  const bool hasAnswer = answers.calculatorResult.has_value();
  if (json) {
    nlohmann::json out = {{"query", text}, {"apps", nlohmann::json::array()}, {"files", nlohmann::json::array()}};
    for (const auto& app : apps) out["apps"].push_back(appJson(app));
    for (const auto& f : files) out["files"].push_back(fileJson(f));
    nlohmann::json intelligence = {{"selected", nlohmann::json::array()}};
    for (VCRDataSourceIdentifier id : answers.selectedIdentifiers) {
      intelligence["selected"].push_back(dataSourceIdentifierRawValue(id));
    }
    if (hasAnswer) {
      intelligence["calculator"] = {{"value", answers.calculatorResult->value},
                                    {"formattedValue", answers.calculatorResult->formattedValue}};
      if (answers.calculatorResult->detail) intelligence["calculator"]["detail"] = *answers.calculatorResult->detail;
    }
    out["intelligence"] = intelligence;
    printJson(out);
    return listed.empty() && !hasAnswer ? kExitFailure : kExitOk;
  }
  for (const std::string& line : rt.intelligenceLines()) std::cout << line << "\n";
  if (hasAnswer && !listed.empty()) std::cout << "\n";
  size_t n = 0;
  if (!apps.empty()) std::cout << "Applications\n";
  for (const auto& app : apps) {
    std::cout << stringPrintf("%3zu  %-32s %s\n", ++n, app.name.c_str(), app.path.c_str());
  }
  if (!files.empty()) std::cout << (apps.empty() ? "" : "\n") << "Files\n";
  for (const auto& f : files) {
    std::cout << stringPrintf("%3zu  %-32s %s\n", ++n, f.item.name.c_str(), f.item.path.c_str());
  }
  if (listed.empty()) {
    if (hasAnswer) return kExitOk;
    std::cout << "No results for \"" << text << "\".\n";
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
  auto runtime = openRuntime("files");
  if (!runtime.ok()) return kExitUnavailable;
  AppRuntime& rt = *runtime.value();
  const std::string text = joinStrings(words, " ");
  ParsedQuery query = QueryParser::parse(text);
  auto results = FileSearcher::search(rt.store->handle(), query, static_cast<int>(limit.value_or(50)),
                                      DateContext::current(SystemClock::instance()));
  if (!results.ok()) {
    printError("files: the search failed: " + results.error().description());
    return kExitFailure;
  }
  std::vector<LastResult> listed;
  for (const auto& f : results.value()) listed.push_back({"file", f.item.path, f.item.name, ""});
  Status saved = saveLastResults(rt.dirs, listed);
  (void)saved;
  if (open) return activateNumber(*rt.workspace, listed, *open, false);
  if (json) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& f : results.value()) out.push_back(fileJson(f));
    printJson(out);
    return results->empty() ? kExitFailure : kExitOk;
  }
  size_t n = 0;
  for (const auto& f : results.value()) {
    std::cout << stringPrintf("%3zu  %4.2f  %-10s %9s  %s\n", ++n, static_cast<double>(f.relevanceScore),
                              fileMatchTypeRawValue(f.matchType), humanSize(f.item.sizeBytes).c_str(),
                              f.item.path.c_str());
  }
  if (results->empty()) {
    std::cout << "No files match \"" << text << "\".\n";
    return kExitFailure;
  }
  return kExitOk;
}

int runOpen(Args& args) {
  bool reveal = args.flag("--reveal");
  auto rest = args.positionals();
  if (args.failed()) return usageError("open", args.failure());
  if (rest.size() != 1) return usageError("open", "needs the number of a result");
  long long number = 0;
  try {
    number = std::stoll(rest[0]);
  } catch (...) {
    return usageError("open", "'" + rest[0] + "' is not a result number");
  }
  DataDirectories dirs = DataDirectories::fromEnvironment();
  auto results = loadLastResults(dirs);
  if (!results.ok()) {
    printError(results.error().description());
    return kExitFailure;
  }
  ProcessCommandRunner runner;
  LinuxWorkspace workspace(runner, dirs);
  return activateNumber(workspace, results.value(), number, reveal);
}

}  // namespace

PALLIX_COMMAND("search", "search apps (and files, when asked) as the panel does",
               "Usage: pallix search TEXT... [--json] [--open N]\n\n"
               "Runs one settled search of the standard mode: the best four applications, and the files\n"
               "preview when the words ask for files (\"budget files\").\n\n"
               "  --json     print the results as JSON (apps and files with their record fields)\n"
               "  --open N   open result N at once\n\n"
               "Exit status: 0 results found, 1 nothing found, 2 usage error, 3 no catalog.\n",
               runSearch);

PALLIX_COMMAND("files", "search files with power queries",
               "Usage: pallix files QUERY... [--json] [--limit N] [--open N]\n\n"
               "Searches the file catalog. Besides words, a query may hold:\n"
               "  ext:pdf,docx  type:image  size:>2mb  after:2024-01-01  before:2024-06  modified:today\n"
               "  created:week  in:projects  app:org.gnome  is:folder  \"exact phrase\"  /regex/  NOT ext:tmp\n\n"
               "  --json      print the results as JSON (path, name, relevanceScore, matchType, ...)\n"
               "  --limit N   at most N results (default 50)\n"
               "  --open N    open result N at once\n\n"
               "Exit status: 0 results found, 1 nothing found, 2 usage error, 3 no catalog.\n",
               runFiles);

PALLIX_COMMAND("open", "open a result of the last search",
               "Usage: pallix open N [--reveal]\n\n"
               "Launches the application or opens the file numbered N in the last 'pallix search' or\n"
               "'pallix files' output; --reveal shows it in the file manager instead.\n",
               runOpen);

}  // namespace pallix::cli
