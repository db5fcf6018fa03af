#include "app/sources/CalculatorEvaluator.h"

#include <charconv>
#include <limits>

#include "app/sources/CalculatorText.h"

namespace pallix::calculator {
namespace {

constexpr char32_t kMinusSign = U'−';
constexpr char32_t kMultiplicationSign = U'×';
constexpr char32_t kDivisionSign = U'÷';

bool isKeptCharacter(char32_t c) {
  if (c >= '0' && c <= '9') return true;
  switch (c) {
    case '.':
    case '+':
    case '-':
    case kMinusSign:
    case kMultiplicationSign:
    case 'x':
    case 'X':
    case '*':
    case '/':
    case kDivisionSign:
    case '(':
    case ')':
    case ' ':
    case '%':
      return true;
    default:
      return false;
  }
}

bool isAsciiDigit(char32_t c) {
  return c >= '0' && c <= '9';
}

// Parses a run of ASCII digits with at most one "." ("5.", ".5" and "5" parse; "." does not).
std::optional<double> parseNumberRun(const std::string& run) {
  double value = 0;
  const char* begin = run.data();
  const char* end = run.data() + run.size();
  auto [ptr, ec] = std::from_chars(begin, end, value, std::chars_format::fixed);
  if (ptr != end) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // A run too long for a double is still a number: its magnitude overflows.
    bool hasNonZeroDigit = run.find_first_of("123456789") != std::string::npos;
    return hasNonZeroDigit ? std::numeric_limits<double>::infinity() : 0.0;
  }
  if (ec != std::errc()) return std::nullopt;
  return value;
}

bool endsWithOperatorOrLeftParenthesis(const std::vector<Token>& tokens) {
  if (tokens.empty()) return false;
  const Token::Kind kind = tokens.back().kind;
  return kind == Token::Kind::operatorSymbol || kind == Token::Kind::leftParenthesis;
}

}  // namespace

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

std::string keepExpressionCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : decodeUtf8(text)) {
    if (isKeptCharacter(c)) appendUtf8(out, c);
  }
  return out;
}

std::vector<Token> tokenizeExpression(std::string_view text) {
  std::vector<char32_t> chars;
  for (char32_t c : decodeUtf8(text)) {
    if (isKeptCharacter(c)) chars.push_back(c);
  }

  std::vector<Token> tokens;
  size_t i = 0;
  while (i < chars.size()) {
    const char32_t c = chars[i];
    if (c == ' ') {
      ++i;
      continue;
    }
    if (isAsciiDigit(c) || c == '.') {
      std::string run;
      bool seenDot = false;
      while (i < chars.size() && (isAsciiDigit(chars[i]) || (chars[i] == '.' && !seenDot))) {
        if (chars[i] == '.') seenDot = true;
        run.push_back(static_cast<char>(chars[i]));
        ++i;
      }
      std::optional<double> value = parseNumberRun(run);
      if (!value) continue;
      while (i < chars.size() && chars[i] == '%') {
        *value /= 100.0;
        ++i;
      }
      tokens.push_back(Token::makeNumber(*value));
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
        break;  // A "%" that follows no number, for instance.
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
    switch (token.op) {
      case Operator::addition:
        lhs = lhs + rhs;
        break;
      case Operator::subtraction:
        lhs = lhs - rhs;
        break;
      case Operator::multiplication:
        lhs = lhs * rhs;
        break;
      case Operator::division:
        if (rhs == 0) return std::nullopt;
        lhs = lhs / rhs;
        break;
      case Operator::unaryMinus:
        break;
    }
  }
  if (values.size() != 1) return std::nullopt;
  return values.front();
}

std::optional<double> evaluateExpression(std::string_view text) {
  std::vector<Token> tokens = tokenizeExpression(text);
  if (tokens.empty()) return std::nullopt;
  std::optional<std::vector<Token>> rpn = toReversePolish(std::move(tokens));
  if (!rpn) return std::nullopt;
  return evaluateReversePolish(*rpn);
}

}  // namespace pallix::calculator
