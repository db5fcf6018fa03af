// CalculatorCurrency: currency words, symbols and exchange rates for the
// calculator's currency conversions.
//
// Rates come from a `CurrencyRateProvider`. The system ships one provider,
// `FixedCurrencyRateProvider`, with a fixed table of rates per US dollar; no
// network source is consulted. Tests substitute their own provider. Tables
// are built on first use and never change; every function is safe from any
// thread, and providers must be too.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pallix::calculator {

// Units of a currency per one US dollar.
class CurrencyRateProvider {
 public:
  virtual ~CurrencyRateProvider() = default;
  // The rate for an upper-case ISO code ("EUR"), or none when unknown.
  virtual std::optional<double> rate(std::string_view code) const = 0;
};

// The fixed rates table (29 currencies).
class FixedCurrencyRateProvider final : public CurrencyRateProvider {
 public:
  std::optional<double> rate(std::string_view code) const override;
  static const std::map<std::string, double, std::less<>>& currencyRates();
};

// Lowercase currency word → ISO code (66 entries): "us dollars" → "USD".
const std::map<std::string, std::string, std::less<>>& currencyCodeMapping();
// Currency symbol → ISO code (23 entries): "€" → "EUR", "A$" → "AUD".
const std::map<std::string, std::string, std::less<>>& currencySymbolMapping();

struct StrippedCurrencySymbol {
  std::string text;    // The trimmed text without the symbol.
  std::string symbol;  // The symbol removed, or empty.
};

// Tries the symbols longest first; the first found as a prefix or suffix of
// the trimmed `text` is removed and remembered.
StrippedCurrencySymbol stripCurrencySymbol(std::string_view text);

// The ISO code for a unit text and the symbol stripped from it: the symbol's
// code when there is one, else the lowercased text looked up in
// `currencyCodeMapping`, else any three-character text in upper case. With
// both a symbol and a text, the text must name the symbol's currency.
std::optional<std::string> resolveCurrencyCode(std::string_view unitText, std::string_view symbol);

}  // namespace pallix::calculator
