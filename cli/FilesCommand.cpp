#include "cli/FilesCommand.h"

#include <iostream>

#include "app/search/CatalogReader.h"
#include "app/search/FileSearcher.h"
#include "app/search/PlainWordsSearch.h"
#include "app/search/QueryParser.h"
#include "cli/Display.h"
#include "core/Clock.h"
#include "core/Formatting.h"
#include "core/Strings.h"

namespace pallix::cli {

const char* const kFilesSummary = "search files with power queries";
const char* const kFilesUsage =
    "Usage: pallix files QUERY... [--json] [--limit N] [--open N]\n\n"
    "Searches the file catalog, best matches first. Words match file names (the name may be typed\n"
    "with its extension: report.pdf); find extensions with ext:. Plain words such as 'pdfs from last\n"
    "week' or 'big videos' become filters (said on stderr). Besides words, a query may hold:\n"
    "  ext:pdf,docx  type:image  size:>2mb  after:2024-01-01  before:2024-06  modified:today\n"
    "  created:week  in:projects  app:org.gnome.Maps  is:folder  \"exact phrase\"  /regex/  NOT ext:tmp\n\n"
    "  app:ID  files inside a Flatpak or Snap application's folders belong to that application:\n"
    "          app:org.gnome.Maps finds them by its ID (any part of it: app:gnome).\n"
    "  A query without words (only filters) lists at most 100 files and says so when there are more.\n\n"
    "  --json      print {\"query\", \"files\": [path, name, relevanceScore, matchType, why, ...]} and,\n"
    "              when the list was cut, \"cut\": {\"shown\", \"matches\", \"atLeast\"}; why: {\"kind\", \"text\",\n"
    "              \"ranges\": [{\"start\", \"length\", \"utf16Start\", \"utf16Length\"}]}, the highlighted\n"
    "              runs of text in UTF-8 bytes and UTF-16 units\n"
    "  On a terminal the part of a name the words matched is bold and why a file matched follows its\n"
    "  path, dimmed (plain when NO_COLOR is set).\n"
    "  --limit N   at most N results (default 50)\n"
    "  --open N    open result N at once; with --json the results still come alone on stdout\n\n"
    "Exit status: 0 results found, 1 nothing found, 2 usage error or invalid query, 3 no catalog, a\n"
    "damaged one, or one whose first index did not finish.\n";

nlohmann::json matchReasonJson(const MatchReason& reason) {
  nlohmann::json ranges = nlohmann::json::array();
  for (const TextSpan& s : reason.highlights) {
    ranges.push_back({{"start", s.byteStart},
                      {"length", s.byteLength},
                      {"utf16Start", s.utf16Start},
                      {"utf16Length", s.utf16Length}});
  }
  return {{"kind", matchReasonKindName(reason)}, {"text", reason.text}, {"ranges", ranges}};
}

nlohmann::json fileResultJson(const FileSearchResult& r) {
  nlohmann::json j = {{"path", r.item.path},
                      {"name", r.item.name},
                      {"itemTypeRaw", r.item.itemTypeRaw},
                      {"relevanceScore", r.relevanceScore},
                      {"matchType", fileMatchTypeRawValue(r.matchType)},
                      {"sizeBytes", r.item.sizeBytes}};
  if (r.item.fileExtension) j["fileExtension"] = *r.item.fileExtension;
  if (r.item.modifiedDate) j["modifiedDate"] = secondsSince1970(*r.item.modifiedDate);
  if (!r.why.empty()) j["why"] = matchReasonJson(r.why);
  return j;
}

bool filesArgumentsOpenAResult(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--") return false;
    if (a == "--open" || startsWith(a, "--open=")) return true;
  }
  return false;
}

int runFiles(Args& args, const ResultOpener& opener) {
  bool json = args.flag("--json");
  auto limit = args.intOption("--limit");
  auto open = args.intOption("--open");
  auto words = args.positionals();
  if (args.failed()) return usageError("files", args.failure());
  if (words.empty()) return usageError("files", "needs a query (words, ext:pdf, size:>2mb, after:2024-01-01, ...)");
  if (limit && (*limit < 1 || *limit > 10000)) return usageError("files", "--limit must be between 1 and 10000");
  if (open && !opener) return usageError("files", "--open is not available here");
  const std::string text = joinStrings(words, " ");
  const DateContext context = DateContext::current(SystemClock::instance());
  const PlainWordsQuery plain = PlainWordsFilters::read(text, context);
  const bool compiled = plain.reading == PlainWordsQuery::Reading::filters;
  const ParsedQuery query = QueryParser::parse(compiled ? plain.compiled() : text);
  if (Status valid = FileSearcher::validate(query); !valid.ok())
    return usageError("files", valid.error().description());
  if (compiled) std::cerr << "searching: " << printable(plain.compiled()) << "\n";
  if (plain.reading == PlainWordsQuery::Reading::both) {
    std::cerr << "searching: " << printable(inQuotes(text)) << " by name first, then " << printable(plain.compiled())
              << "\n";
  }

  const DataDirectories dirs = DataDirectories::fromEnvironment();
  auto opened = CatalogReader::open(dirs);
  if (!opened.ok()) {
    CatalogOpenFailure failure = describeCatalogOpenFailure(opened.error());
    printError("files: " + failure.message, failure.hint);
    return kExitUnavailable;
  }
  CatalogReader& catalog = opened.value();
  const bool complete = catalog.complete();
  if (!complete) {
    std::cerr << kIncompleteCatalogNote;
  }
  auto page = searchPlainWords(catalog.store().handle(), plain, static_cast<int>(limit.value_or(50)), context);
  if (!page.ok()) {
    // A read is often the first to meet damage: check before blaming the query.
    if (std::optional<Error> damage = catalog.damage()) {
      CatalogOpenFailure failure = describeCatalogOpenFailure(*damage);
      printError("files: " + failure.message, failure.hint);
      return kExitUnavailable;
    }
    printError("files: the search failed: " + page.error().description(),
               "Run 'pallix index' to check and rebuild the catalog.");
    return exitStatusFor(page.error());
  }
  const std::vector<FileSearchResult>& results = page->results;
  const int nothing = complete ? kExitFailure : kExitUnavailable;
  std::vector<LastResult> listed;
  std::vector<IndexedItem> shown;
  for (const auto& f : results) shown.push_back(f.item);
  const std::vector<std::string> names = displayNames(shown);
  for (size_t i = 0; i < shown.size(); ++i) {
    listed.push_back({"file", shown[i].path, names[i], "", fileMatchTypeRawValue(results[i].matchType)});
  }
  // Only `pallix open` needs the list; a read-only cache is no reason to fail.
  (void)saveLastResults(dirs, listed);
  if (open && !json) return opener(listed, *open, false);
  const std::optional<FileSearchCut>& cut = page->cut;
  if (json) {
    nlohmann::json out = {{"query", text}, {"files", nlohmann::json::array()}};
    for (const auto& f : results) out["files"].push_back(fileResultJson(f));
    if (cut) out["cut"] = {{"shown", cut->shown}, {"matches", cut->matches}, {"atLeast", cut->matchesIsLowerBound}};
    printJson(out);
    if (open) return opener(listed, *open, true);
    return results.empty() ? nothing : kExitOk;
  }
  size_t n = 0;
  const bool reasons = reasonsShown(), colour = colourWanted();
  for (const auto& f : results) {
    const std::string path = reasons ? pathWithReason(f.item.path, f.why, colour) : printable(f.item.path);
    std::cout << stringPrintf("%3zu  %4.2f  %-10s %9s  %s\n", ++n, static_cast<double>(f.relevanceScore),
                              fileMatchTypeRawValue(f.matchType), humanSize(f.item.sizeBytes).c_str(), path.c_str());
  }
  if (results.empty()) {
    std::cout << "No files match " << printable(inQuotes(text)) << ".\n";
    return nothing;
  }
  if (cut) {
    std::cout << "\nShowing " << cut->shown << " of " << (cut->matchesIsLowerBound ? "at least " : "") << cut->matches
              << " files: a query without words lists at most " << FileSearcher::kFilterOnlyLimit
              << ". Add words or filters to narrow it.\n";
  }
  return kExitOk;
}

}  // namespace pallix::cli
