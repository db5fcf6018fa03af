#include <iostream>

#include "app/calculator/CalculatorDataSource.h"
#include "cli/Command.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

// `pallix calc EXPR`: the calculator answer the panel would show for EXPR.
int runCalc(Args& args) {
  const bool json = args.flag("--json");
  const std::optional<std::string> locale = args.option("--locale");
  const std::vector<std::string> words = args.positionals();
  if (args.failed()) return usageError("calc", args.failure());
  const std::string text = joinStrings(words, " ");
  if (trimWhitespace(text).empty()) return usageError("calc", "needs an expression, e.g. pallix calc '2+3*4'");

  CalculatorDataSource calculator(CalculatorDataSource::Options{locale.value_or(""), nullptr});
  std::optional<CalculatorResult> result;
  if (calculator.shouldHandle(text)) result = calculator.calculate(text);
  if (!result) {
    printError("no answer for " + inQuotes(text),
               "The calculator answers arithmetic (+ - × ÷ %, parentheses), units (5 km to miles) and "
               "currencies (100 usd to eur).");
    return kExitFailure;
  }

  if (json) {
    printJson({{"query", text},
               {"value", result->value},
               {"formattedValue", result->formattedValue},
               {"detail", result->detail ? nlohmann::json(*result->detail) : nlohmann::json(nullptr)}});
  } else if (result->detail) {
    std::cout << *result->detail << " = " << result->formattedValue << "\n";
  } else {
    std::cout << result->formattedValue << "\n";
  }
  return kExitOk;
}

}  // namespace

PALLIX_COMMAND("calc", "answer a calculation or a unit or currency conversion",
               "Usage: pallix calc EXPR... [--json] [--locale LOCALE]\n\n"
               "Answers EXPR as the search panel's calculator would: arithmetic (2+3*4, 200 * 15%),\n"
               "unit conversions (5 km to miles, 72 °F to C) and currency conversions at fixed rates\n"
               "(100 usd to eur). Several words are joined with spaces. Put \"--\" before an expression\n"
               "that starts with \"--\" (pallix calc -- --5).\n\n"
               "Options:\n"
               "  --json           print value, formattedValue and detail as JSON\n"
               "  --locale LOCALE  format for an ICU locale such as en_US (default: the process locale)\n\n"
               "Exit status: 0 with an answer, 1 when there is none, 2 for a usage error.\n",
               runCalc);

}  // namespace pallix::cli
