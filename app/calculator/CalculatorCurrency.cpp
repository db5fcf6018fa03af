#include "app/calculator/CalculatorCurrency.h"

#include <algorithm>

#include "app/calculator/CalculatorText.h"

namespace pallix::calculator {
namespace {

using StringMap = std::map<std::string, std::string, std::less<>>;

struct CodeKeys {
  std::string_view code;
  std::initializer_list<std::string_view> keys;
};

const CodeKeys kCurrencyWords[] = {
    {"USD", {"usd", "us dollar", "us dollars", "dollar", "dollars"}},
    {"EUR", {"eur", "euro", "euros"}},
    {"GBP", {"gbp", "pound", "pounds", "sterling"}},
    {"JPY", {"jpy", "yen"}},
    {"AUD", {"aud", "australian dollar", "australian dollars"}},
    {"CAD", {"cad", "canadian dollar", "canadian dollars"}},
    {"CNY", {"cny", "rmb", "yuan"}},
    {"INR", {"inr", "rupee", "rupees"}},
    {"CHF", {"chf", "swiss franc", "swiss francs"}},
    {"SEK", {"sek", "krone", "kr"}},
    {"NOK", {"nok"}},
    {"DKK", {"dkk"}},
    {"MXN", {"mxn", "peso", "pesos"}},
    {"BRL", {"brl", "real", "reais"}},
    {"ZAR", {"zar", "rand"}},
    {"KRW", {"krw", "won"}},
    {"THB", {"thb", "baht"}},
    {"NZD", {"nzd", "new zealand dollar", "new zealand dollars"}},
    {"RUB", {"rub", "ruble", "rubles", "rouble", "roubles"}},
    {"TRY", {"try", "lira", "liras"}},
    {"ILS", {"ils", "shekel", "shekels"}},
    {"UAH", {"uah", "hryvnia", "hryvnias"}},
    {"NGN", {"ngn", "naira", "nairas"}},
};

const std::pair<std::string_view, std::string_view> kCurrencySymbols[] = {
    {"$", "USD"},  {"a$", "AUD"}, {"€", "EUR"}, {"£", "GBP"}, {"¥", "JPY"},   {"A$", "AUD"},
    {"C$", "CAD"}, {"c$", "CAD"}, {"₩", "KRW"}, {"₹", "INR"}, {"₽", "RUB"}, {"₺", "TRY"},
    {"₫", "VND"},  {"₦", "NGN"},  {"₪", "ILS"}, {"₱", "PHP"}, {"₲", "PYG"},   {"₡", "CRC"},
    {"₴", "UAH"},  {"₵", "GHS"},  {"₭", "LAK"}, {"₨", "INR"}, {"฿", "THB"},
};

const std::pair<std::string_view, double> kCurrencyRates[] = {
    {"USD", 1.0},    {"EUR", 0.92}, {"GBP", 0.79}, {"JPY", 155.0},  {"AUD", 1.52},    {"CAD", 1.36},
    {"CHF", 0.9},    {"CNY", 7.24}, {"INR", 83.0}, {"KRW", 1360.0}, {"MXN", 16.7},    {"BRL", 5.2},
    {"ZAR", 18.2},   {"THB", 36.3}, {"NZD", 1.66}, {"SEK", 10.6},   {"NOK", 10.5},    {"DKK", 6.85},
    {"RUB", 91.0},   {"TRY", 32.4}, {"ILS", 3.7},  {"PHP", 57.0},   {"VND", 25400.0}, {"CRC", 523.0},
    {"PYG", 7300.0}, {"GHS", 13.8}, {"UAH", 39.4}, {"NGN", 1400.0}, {"LAK", 21300.0},
};

// The symbols longest first (by code points); ties keep the table's order.
const std::vector<std::string_view>& symbolsLongestFirst() {
  static const auto* symbols = [] {
    auto* list = new std::vector<std::string_view>();
    for (const auto& [symbol, code] : kCurrencySymbols) list->push_back(symbol);
    std::stable_sort(list->begin(), list->end(),
                     [](std::string_view a, std::string_view b) { return codePointCount(a) > codePointCount(b); });
    return list;
  }();
  return *symbols;
}

std::string asciiUppercase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

}  // namespace

std::optional<double> FixedCurrencyRateProvider::rate(std::string_view code) const {
  const auto& rates = currencyRates();
  auto it = rates.find(code);
  if (it == rates.end()) return std::nullopt;
  return it->second;
}

const std::map<std::string, double, std::less<>>& FixedCurrencyRateProvider::currencyRates() {
  static const auto* table = [] {
    auto* map = new std::map<std::string, double, std::less<>>();
    for (const auto& [code, rate] : kCurrencyRates) map->emplace(std::string(code), rate);
    return map;
  }();
  return *table;
}

const StringMap& currencyCodeMapping() {
  static const auto* table = [] {
    auto* map = new StringMap();
    for (const CodeKeys& entry : kCurrencyWords) {
      for (std::string_view key : entry.keys) map->emplace(std::string(key), std::string(entry.code));
    }
    return map;
  }();
  return *table;
}

const StringMap& currencySymbolMapping() {
  static const auto* table = [] {
    auto* map = new StringMap();
    for (const auto& [symbol, code] : kCurrencySymbols) map->emplace(std::string(symbol), std::string(code));
    return map;
  }();
  return *table;
}

StrippedCurrencySymbol stripCurrencySymbol(std::string_view text) {
  std::string_view trimmed = trimText(text);
  for (std::string_view symbol : symbolsLongestFirst()) {
    if (trimmed.size() < symbol.size()) continue;
    if (trimmed.substr(0, symbol.size()) == symbol) {
      return {std::string(trimText(trimmed.substr(symbol.size()))), std::string(symbol)};
    }
    if (trimmed.substr(trimmed.size() - symbol.size()) == symbol) {
      return {std::string(trimText(trimmed.substr(0, trimmed.size() - symbol.size()))), std::string(symbol)};
    }
  }
  return {std::string(trimmed), std::string()};
}

std::optional<std::string> resolveCurrencyCode(std::string_view unitText, std::string_view symbol) {
  std::string_view trimmed = trimText(unitText);
  std::optional<std::string> written;
  if (!trimmed.empty()) {
    const auto& words = currencyCodeMapping();
    auto it = words.find(lowercaseText(trimmed));
    if (it != words.end()) {
      written = it->second;
    } else if (codePointCount(trimmed) == 3) {
      written = asciiUppercase(trimmed);
    }
  }
  if (symbol.empty()) return written;
  const auto& symbols = currencySymbolMapping();
  auto it = symbols.find(symbol);
  if (it == symbols.end()) return std::nullopt;
  // "$5 usd" names one currency twice; "$5 eur" names two.
  if (!trimmed.empty() && written != it->second) return std::nullopt;
  return it->second;
}

}  // namespace pallix::calculator
