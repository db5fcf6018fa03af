// `pallix define WORD [--json]`: the dictionary source alone.
#include <iostream>

#include "cli/Command.h"
#include "cli/Display.h"
#include "cli/IntelligenceDisplay.h"
#include "cli/SourceCommandSupport.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

int runDefine(Args& args) {
  const bool json = args.flag("--json");
  auto words = args.positionals();
  if (args.failed()) return usageError("define", args.failure());
  if (words.empty()) return usageError("define", "needs the word to define");
  SourceCommandRuntime rt;
  if (!rt.sources->dictionary) {
    printError("define: the WordNet dictionary is not installed",
               "Install Debian's wordnet-base package (sudo apt-get install wordnet-base).");
    return kExitUnavailable;
  }
  const std::string text = joinStrings(words, " ");
  auto term = rt.sources->dictionary->resolveLookupCandidate(text, true);
  if (!term) {
    printError("define: " + inQuotes(text) + " holds no word to look up",
               "Give a word or a short phrase of letters (at most 42 characters).");
    return kExitUsage;
  }
  auto entry = rt.sources->dictionary->lookUp(*term);
  if (!entry) {
    if (json) printJson(nullptr);
    printError("define: no definition of " + inQuotes(*term));
    return kExitFailure;
  }
  if (json) {
    printJson(dictionaryJson(*entry));
  } else {
    for (const std::string& line : dictionaryLines(*entry)) std::cout << line << "\n";
  }
  return kExitOk;
}

}  // namespace

PALLIX_COMMAND("define", "a word's definitions from the offline dictionary",
               "Usage: pallix define WORD... [--json]\n\n"
               "Looks WORD up in WordNet (offline) and prints each sense; inflected forms are found by\n"
               "their base form. Texts such as \"what does ubiquitous mean\" work too.\n\n"
               "  --json   print {\"term\", \"definition\"}\n\n"
               "Exit status: 0 found, 1 no definition, 2 no word given, 3 WordNet not installed.\n",
               runDefine);

}  // namespace pallix::cli
