// An independent recursive-descent evaluator of calculator arithmetic, the
// model the evaluator and the fuzz tests compare against. It reads the whole
// text or gives no value:
//   text := sum, after trailing operators and "(" are dropped
//   sum := product (("+" | "-" | "−") product)*
//   product := unary (("*" | "×" | "x" | "X" | "/" | "÷") unary)*
//   unary := ("-" | "−") unary | primary
//   primary := number "%"* | "(" sum ")"
//   number := (d{1,3} ("," d{3})+ | d+) ("." d*)? | "." d+, then (e|E) [+-]? d+ optionally
// A number followed by "." or by "," and a digit, a "0x" hexadecimal prefix,
// division by zero, and any step that overflows or underflows give no value.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

namespace pallix::testing_support {

class ExpressionOracle {
 public:
  explicit ExpressionOracle(std::string text) : text_(withoutTrailingOperators(std::move(text))) {}

  std::optional<double> evaluate() {
    std::optional<double> value = sum();
    skipSpaces();
    if (failed_ || pos_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

  static std::string withoutTrailingOperators(std::string text) {
    for (bool changed = true; changed;) {
      changed = false;
      while (!text.empty() && isSpace(text.back())) text.pop_back();
      for (std::string_view op : {"+", "-", "*", "x", "X", "/", "(", "−", "×", "÷"}) {
        if (text.size() >= op.size() && text.compare(text.size() - op.size(), op.size(), op) == 0) {
          text.resize(text.size() - op.size());
          changed = true;
          break;
        }
      }
    }
    return text;
  }

  void skipSpaces() {
    while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
  }
  bool consume(std::initializer_list<std::string_view> tokens) {
    skipSpaces();
    for (std::string_view token : tokens) {
      if (text_.compare(pos_, token.size(), token) != 0) continue;
      pos_ += token.size();
      return true;
    }
    return false;
  }
  std::optional<double> fail() {
    failed_ = true;
    return std::nullopt;
  }
  std::optional<double> checked(double value, bool nonZeroFactors) {
    if (!std::isfinite(value)) return fail();
    if (nonZeroFactors && std::fabs(value) < std::numeric_limits<double>::min()) return fail();
    return value;
  }

  std::optional<double> sum() {
    std::optional<double> value = product();
    while (value) {
      const int sign = consume({"+"}) ? 1 : consume({"-", "−"}) ? -1 : 0;
      if (sign == 0) break;
      auto rhs = product();
      if (!rhs) return std::nullopt;
      value = checked(*value + sign * *rhs, false);
    }
    return value;
  }

  std::optional<double> product() {
    std::optional<double> value = unary();
    while (value) {
      const bool multiply = consume({"*", "×", "x", "X"});
      if (!multiply && !consume({"/", "÷"})) break;
      auto rhs = unary();
      if (!rhs) return std::nullopt;
      if (!multiply && *rhs == 0) return fail();
      const bool nonZero = *value != 0 && *rhs != 0;
      value = checked(multiply ? *value * *rhs : *value / *rhs, nonZero);
    }
    return value;
  }

  std::optional<double> unary() {
    if (!consume({"-", "−"})) return primary();
    auto value = unary();
    if (!value) return std::nullopt;
    return -*value;
  }

  std::optional<double> primary() {
    if (consume({"("})) {
      auto value = sum();
      if (!value || !consume({")"})) return std::nullopt;
      return value;
    }
    static const std::regex kNumber(R"((?:\d{1,3}(?:,\d{3})+|\d+)(?:\.\d*)?(?:[eE][+-]?\d+)?|\.\d+(?:[eE][+-]?\d+)?)");
    std::smatch match;
    const std::string rest = text_.substr(pos_);
    if (!std::regex_search(rest, match, kNumber, std::regex_constants::match_continuous)) return std::nullopt;
    std::string literal = match.str();
    pos_ += literal.size();
    const char next = pos_ < text_.size() ? text_[pos_] : '\0';
    const char afterNext = pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0';
    if (next == '.' || (next == ',' && std::isdigit(static_cast<unsigned char>(afterNext)))) return fail();
    if (literal == "0" && (next == 'x' || next == 'X') && std::isxdigit(static_cast<unsigned char>(afterNext))) {
      return fail();
    }
    std::erase(literal, ',');
    errno = 0;
    double value = std::strtod(literal.c_str(), nullptr);
    if (errno == ERANGE || !std::isfinite(value)) return fail();
    for (; pos_ < text_.size() && text_[pos_] == '%'; ++pos_) {
      const bool nonZero = value != 0;
      value /= 100;
      if (!checked(value, nonZero)) return std::nullopt;
    }
    return value;
  }

  std::string text_;
  size_t pos_ = 0;
  bool failed_ = false;
};

}  // namespace pallix::testing_support
