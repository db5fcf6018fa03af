// CalculatorEvaluator: the arithmetic behind the calculator data source.
//
// The text is tokenised, converted to reverse Polish order with the
// shunting-yard method and evaluated over doubles. The tokenizer reads every
// character or gives up: a character it does not know ("^", "$", a letter) or
// a number it cannot read exactly ("1,2", "1.2.3", "0x10", "1e400") means no
// value, never a value computed from what is left. Every other failure (no
// tokens, unbalanced parentheses, a missing operand, division by zero,
// leftover operands, a result that overflows or underflows a double) gives no
// value either. Pure functions, safe from any thread.
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

// A number as typed: digits, optionally grouped by thousands ("12,345"), an
// optional fraction ("5.", ".5", "1.25") and an optional exponent ("1e3",
// "2.5E-4"). `length` counts the code points read.
struct NumberLiteral {
  enum class Status { ok, malformed, outOfRange };
  Status status = Status::ok;
  double value = 0;
  size_t length = 0;
};

// Reads the literal that starts at `text[position]`, a digit or ".". It ends
// at the first character that cannot continue it; an "e" not followed by
// exponent digits ends it too ("5eur" is 5 and "eur"). Malformed: a lone ".",
// a second "." ("1.2.3"), a comma that is not a thousands separator ("1,2",
// "1234,567"). Out of range: a value that overflows or underflows a double.
NumberLiteral readNumberLiteral(std::u32string_view text, size_t position);

// The tokens of `text`, or none when any character is left unread. Whitespace
// separates tokens; a number is a literal as above, and each "%" directly
// after it divides it by 100; "-"/"−" is unary minus at the start, after an
// operator or after "(", else subtraction; "×", "x", "X", "*" multiply; "÷",
// "/" divide. A "0x" literal is hexadecimal notation and is not read.
std::optional<std::vector<Token>> tokenizeExpression(std::string_view text);

// Reverse Polish order of `tokens` after trailing operators and "(" are
// removed; no value when nothing is left or the parentheses do not balance.
std::optional<std::vector<Token>> toReversePolish(std::vector<Token> tokens);

// The value of reverse Polish `tokens`; no value for a missing operand,
// division by zero, more than one value left over, or a step whose result is
// not finite or underflows (a product or quotient of non-zero values that
// is zero or subnormal). A sum or difference within eight units in the last
// place of its larger operand is zero: the remainder of rounding.
std::optional<double> evaluateReversePolish(const std::vector<Token>& tokens);

// All of the above: the finite value of the expression in `text`, or none.
std::optional<double> evaluateExpression(std::string_view text);

}  // namespace pallix::calculator
