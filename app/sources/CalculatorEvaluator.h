// CalculatorEvaluator: the arithmetic behind the calculator data source.
//
// The text is filtered to the characters "0123456789.+-−×xX*/÷() %",
// tokenised, converted to reverse Polish order with the shunting-yard method
// and evaluated over doubles. Every failure (no tokens, unbalanced
// parentheses, a missing operand, division by zero, leftover operands) gives
// no value rather than an error. Pure functions, safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pallix::calculator {

enum class Operator { addition, subtraction, multiplication, division, unaryMinus };

// 1 for addition and subtraction, 2 for multiplication and division, 3 for unary minus.
int precedence(Operator op);

struct Token {
  enum class Kind { number, operatorSymbol, leftParenthesis, rightParenthesis };

  static Token makeNumber(double value) { return Token{Kind::number, value, Operator::addition}; }
  static Token makeOperator(Operator op) { return Token{Kind::operatorSymbol, 0, op}; }
  static Token makeParenthesis(bool left) {
    return Token{left ? Kind::leftParenthesis : Kind::rightParenthesis, 0, Operator::addition};
  }

  Kind kind = Kind::number;
  double number = 0;                 // For Kind::number.
  Operator op = Operator::addition;  // For Kind::operatorSymbol.

  friend bool operator==(const Token&, const Token&) = default;
};

// `text` restricted to the characters the evaluator keeps (UTF-8 in, UTF-8 out).
std::string keepExpressionCharacters(std::string_view text);

// The tokens of `text` after the character filter. Whitespace is skipped; a
// number is a run of digits with at most one "."; each "%" directly after a
// number divides it by 100; "-"/"−" is unary minus at the start, after an
// operator or after "("; anything unrecognised is skipped.
std::vector<Token> tokenizeExpression(std::string_view text);

// Reverse Polish order of `tokens` after trailing operators and "(" are
// removed; no value when nothing is left or the parentheses do not balance.
std::optional<std::vector<Token>> toReversePolish(std::vector<Token> tokens);

// The value of reverse Polish `tokens`; no value for a missing operand,
// division by zero or more than one value left over.
std::optional<double> evaluateReversePolish(const std::vector<Token>& tokens);

// All of the above: the value of the expression in `text`, or none. The value
// may be infinite or NaN; callers decide what to show.
std::optional<double> evaluateExpression(std::string_view text);

}  // namespace pallix::calculator
