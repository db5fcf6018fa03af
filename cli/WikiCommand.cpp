// `pallix wiki QUERY [--json]`: the encyclopedia source alone.
#include <iostream>

#include "cli/Command.h"
#include "cli/Display.h"
#include "cli/IntelligenceDisplay.h"
#include "cli/SourceCommandSupport.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

int runWiki(Args& args) {
  const bool json = args.flag("--json");
  auto words = args.positionals();
  if (args.failed()) return usageError("wiki", args.failure());
  const std::string query = joinStrings(words, " ");
  if (query.size() < WikipediaDataSource::kMinimumQueryLength) {
    return usageError("wiki", "needs a query of at least two characters");
  }
  SourceCommandRuntime rt;
  if (rt.reportSwitchedOff("wiki", "encyclopedia", DataSourcePreferences::kWikipediaEnabledKey)) {
    return kExitUnavailable;
  }
  if (!rt.sources->wikipedia) {
    printError("wiki: no web client is available");
    return kExitUnavailable;
  }
  bool answered = false;
  std::optional<WikipediaArticle> article;
  rt.sources->wikipedia->search(query, [&](std::optional<WikipediaArticle> a) {
    article = std::move(a);
    answered = true;
  });
  rt.runUntil([&] { return answered; });
  if (!article) {
    if (json) printJson(nullptr);
    printError("wiki: no Wikipedia summary for " + inQuotes(query),
               "The instant-answer service had none, or did not answer (" + rt.sources->endpoints().instantAnswer +
                   "; check the network).");
    return kExitFailure;
  }
  if (json) {
    printJson(wikipediaJson(*article));
  } else {
    for (const std::string& line : wikipediaLines(*article)) std::cout << line << "\n";
  }
  return kExitOk;
}

}  // namespace

PALLIX_COMMAND("wiki", "a short Wikipedia summary from the instant-answer API",
               "Usage: pallix wiki QUERY... [--json]\n\n"
               "Sends QUERY to DuckDuckGo's instant-answer API (WikipediaDataSource.baseURL) and prints\n"
               "the summary when it comes from Wikipedia.\n\n"
               "  --json   print {\"title\", \"extract\", \"url\", \"thumbnailURL\", \"query\"}\n\n"
               "Exit status: 0 found, 1 nothing found or no answer, 2 usage error, 3 the encyclopedia source\n"
               "switched off (DataSourcePreferences.wikipediaEnabled).\n",
               runWiki);

}  // namespace pallix::cli
