#include "app/calculator/CalculatorEvaluator.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "app/calculator/CalculatorText.h"

namespace pallix::calculator {
namespace {

constexpr char32_t kMinusSign = U'−';
constexpr char32_t kMultiplicationSign = U'×';
constexpr char32_t kDivisionSign = U'÷';

bool isAsciiDigit(char32_t c) {
  return c >= '0' && c <= '9';
}

bool isHexDigit(char32_t c) {
  return isAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A sum within a few units in the last place of its operands is what is left
// of their rounding, not a value: 0.1 + 0.2 - 0.3 is 0, not 5.55E-17.
double withoutCancellationNoise(double sum, double lhs, double rhs) {
  const double scale = std::max(std::fabs(lhs), std::fabs(rhs));
  return std::fabs(sum) <= 8 * std::numeric_limits<double>::epsilon() * scale ? 0.0 : sum;
}

// A product or quotient of non-zero values that lost its magnitude.
bool underflowed(double result) {
  return std::fabs(result) < std::numeric_limits<double>::min();
}

bool endsWithOperatorOrLeftParenthesis(const std::vector<Token>& tokens) {
  if (tokens.empty()) return false;
  const Token::Kind kind = tokens.back().kind;
  return kind == Token::Kind::operatorSymbol || kind == Token::Kind::leftParenthesis;
}

}  // namespace

NumberLiteral readNumberLiteral(std::u32string_view text, size_t position) {
  using Status = NumberLiteral::Status;
  const size_t n = text.size();
  auto digitAt = [&](size_t i) { return i < n && isAsciiDigit(text[i]); };
  std::string ascii;
  size_t i = position;
  size_t integerDigits = 0;
  while (digitAt(i)) {
    ascii.push_back(static_cast<char>(text[i++]));
    ++integerDigits;
  }
  // Thousands grouping: one to three digits, then groups of exactly three.
  if (i < n && text[i] == ',' && digitAt(i + 1)) {
    if (integerDigits > 3) return {Status::malformed};
    while (i < n && text[i] == ',' && digitAt(i + 1)) {
      size_t groupDigits = 0;
      for (++i; digitAt(i); ++i, ++groupDigits) ascii.push_back(static_cast<char>(text[i]));
      if (groupDigits != 3) return {Status::malformed};
    }
  }
  if (i < n && text[i] == '.') {
    ascii.push_back('.');
    size_t fractionDigits = 0;
    for (++i; digitAt(i); ++i, ++fractionDigits) ascii.push_back(static_cast<char>(text[i]));
    if (integerDigits == 0 && fractionDigits == 0) return {Status::malformed};
  } else if (integerDigits == 0) {
    return {Status::malformed};
  }
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    const size_t signAt = i + 1;
    const bool hasSign = signAt < n && (text[signAt] == '+' || text[signAt] == '-');
    if (digitAt(hasSign ? signAt + 1 : signAt)) {
      ascii.push_back('e');
      if (hasSign) ascii.push_back(static_cast<char>(text[signAt]));
      for (i = hasSign ? signAt + 1 : signAt; digitAt(i); ++i) ascii.push_back(static_cast<char>(text[i]));
    }
  }
  // "1.2.3" and "1e3.5" are not two numbers.
  if (i < n && text[i] == '.') return {Status::malformed};

  double value = 0;
  const char* begin = ascii.data();
  const char* end = begin + ascii.size();
  auto [ptr, ec] = std::from_chars(begin, end, value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) return {Status::outOfRange};
  if (ec != std::errc() || ptr != end) return {Status::malformed};
  if (!std::isfinite(value) || (value != 0 && underflowed(value))) return {Status::outOfRange};
  return {Status::ok, value, i - position};
}

int precedence(Operator op) {
  switch (op) {
    case Operator::addition:
    case Operator::subtraction:
      return 1;
    case Operator::multiplication:
    case Operator::division:
      return 2;
    case Operator::unaryMinus:
      return 3;
  }
  return 0;
}

std::optional<std::vector<Token>> tokenizeExpression(std::string_view text) {
  const std::vector<char32_t> decoded = decodeUtf8(text);
  const std::u32string_view chars(decoded.data(), decoded.size());

  std::vector<Token> tokens;
  size_t i = 0;
  while (i < chars.size()) {
    const char32_t c = chars[i];
    if (isWhitespaceOrNewline(c)) {
      ++i;
      continue;
    }
    if (isAsciiDigit(c) || c == '.') {
      const NumberLiteral literal = readNumberLiteral(chars, i);
      if (literal.status != NumberLiteral::Status::ok) return std::nullopt;
      const bool hexPrefix = literal.length == 1 && c == '0';
      i += literal.length;
      if (hexPrefix && i + 1 < chars.size() && (chars[i] == 'x' || chars[i] == 'X') && isHexDigit(chars[i + 1])) {
        return std::nullopt;
      }
      double value = literal.value;
      for (; i < chars.size() && chars[i] == '%'; ++i) {
        value /= 100.0;
        if (value != 0 && underflowed(value)) return std::nullopt;
      }
      tokens.push_back(Token::makeNumber(value));
      continue;
    }
    ++i;
    switch (c) {
      case '+':
        tokens.push_back(Token::makeOperator(Operator::addition));
        break;
      case '-':
      case kMinusSign: {
        const bool unary = tokens.empty() || tokens.back().kind == Token::Kind::operatorSymbol ||
                           tokens.back().kind == Token::Kind::leftParenthesis;
        tokens.push_back(Token::makeOperator(unary ? Operator::unaryMinus : Operator::subtraction));
        break;
      }
      case kMultiplicationSign:
      case 'x':
      case 'X':
      case '*':
        tokens.push_back(Token::makeOperator(Operator::multiplication));
        break;
      case kDivisionSign:
      case '/':
        tokens.push_back(Token::makeOperator(Operator::division));
        break;
      case '(':
        tokens.push_back(Token::makeParenthesis(true));
        break;
      case ')':
        tokens.push_back(Token::makeParenthesis(false));
        break;
      default:
        return std::nullopt;  // "^", "$", a letter, a "%" that follows no number, ...
    }
  }
  return tokens;
}

std::optional<std::vector<Token>> toReversePolish(std::vector<Token> tokens) {
  while (endsWithOperatorOrLeftParenthesis(tokens)) tokens.pop_back();
  if (tokens.empty()) return std::nullopt;

  std::vector<Token> output;
  std::vector<Token> stack;
  output.reserve(tokens.size());
  for (const Token& token : tokens) {
    switch (token.kind) {
      case Token::Kind::number:
        output.push_back(token);
        break;
      case Token::Kind::operatorSymbol:
        while (!stack.empty() && stack.back().kind == Token::Kind::operatorSymbol &&
               precedence(stack.back().op) >= precedence(token.op) &&
               !(stack.back().op == Operator::unaryMinus && token.op == Operator::unaryMinus)) {
          output.push_back(stack.back());
          stack.pop_back();
        }
        stack.push_back(token);
        break;
      case Token::Kind::leftParenthesis:
        stack.push_back(token);
        break;
      case Token::Kind::rightParenthesis: {
        bool matched = false;
        while (!stack.empty()) {
          Token top = stack.back();
          stack.pop_back();
          if (top.kind == Token::Kind::leftParenthesis) {
            matched = true;
            break;
          }
          output.push_back(top);
        }
        if (!matched) return std::nullopt;
        break;
      }
    }
  }
  while (!stack.empty()) {
    if (stack.back().kind == Token::Kind::leftParenthesis) return std::nullopt;
    output.push_back(stack.back());
    stack.pop_back();
  }
  return output;
}

std::optional<double> evaluateReversePolish(const std::vector<Token>& tokens) {
  std::vector<double> values;
  values.reserve(tokens.size());
  for (const Token& token : tokens) {
    if (token.kind == Token::Kind::number) {
      values.push_back(token.number);
      continue;
    }
    if (token.kind != Token::Kind::operatorSymbol) return std::nullopt;
    if (token.op == Operator::unaryMinus) {
      if (values.empty()) return std::nullopt;
      values.back() = -values.back();
      continue;
    }
    if (values.size() < 2) return std::nullopt;
    const double rhs = values.back();
    values.pop_back();
    double& lhs = values.back();
    const bool nonZeroOperands = lhs != 0 && rhs != 0;
    switch (token.op) {
      case Operator::addition:
        lhs = withoutCancellationNoise(lhs + rhs, lhs, rhs);
        break;
      case Operator::subtraction:
        lhs = withoutCancellationNoise(lhs - rhs, lhs, rhs);
        break;
      case Operator::multiplication:
        lhs = lhs * rhs;
        if (nonZeroOperands && underflowed(lhs)) return std::nullopt;
        break;
      case Operator::division:
        if (rhs == 0) return std::nullopt;
        lhs = lhs / rhs;
        if (nonZeroOperands && underflowed(lhs)) return std::nullopt;
        break;
      case Operator::unaryMinus:
        break;
    }
    if (!std::isfinite(lhs)) return std::nullopt;
  }
  if (values.size() != 1) return std::nullopt;
  return values.front();
}

std::optional<double> evaluateExpression(std::string_view text) {
  std::optional<std::vector<Token>> tokens = tokenizeExpression(text);
  if (!tokens || tokens->empty()) return std::nullopt;
  std::optional<std::vector<Token>> rpn = toReversePolish(std::move(*tokens));
  if (!rpn) return std::nullopt;
  return evaluateReversePolish(*rpn);
}

}  // namespace pallix::calculator
