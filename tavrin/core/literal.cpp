#include "tavrin/core/literal.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/build_budget.hpp"
#include "tavrin/core/internal/decimal_float.hpp"
#include "tavrin/core/internal/literal_lexer.hpp"
#include "tavrin/core/internal/literal_scan.hpp"
#include "tavrin/core/internal/literal_values.hpp"
#include "tavrin/core/internal/unicode_names.hpp"

// The parser reads the whole expression grammar, so that a text that is no expression at all
// (SyntaxError) is told apart from an expression that is not a literal (ValueError), and builds
// the Value of each literal in the same pass. Like Python, it first requires the whole text to
// parse; of the faults found while converting, the first in reading order wins, and a fault
// inside an expression that is not a literal is reported as that expression not being one.
//
// Strings hold UTF-8. A \udc80..\udcff escape stands for the raw byte 0x80..0xff (Python's
// surrogateescape, which repr writes for invalid UTF-8); any other lone surrogate is kept in
// its three-byte form.

namespace tavrin {
namespace {

using namespace core::internal::literal;
using core::internal::quote;

// Nesting without brackets (lambda in lambda) also recurses; bound it as well.
constexpr int kMaxExpressionDepth = 2 * kMaxBrackets;
// Room made in a new list or dict at once: replies carry a few elements in each.
constexpr std::size_t kTypicalMembers = 8;

// ---------------------------------------------------------------- what the parser knows

// What the parser knows of an expression: enough of its syntax tree to decide whether it is a
// literal, and its value when it is one.
enum class Shape : std::uint8_t {
  kNumber,        // an int or float constant, perhaps in parentheses
  kImaginary,     // an imaginary constant: 2j
  kSignedNumber,  // one + or - on a kNumber
  kSignedImaginary,
  kComplexSum,  // a real number plus or minus an imaginary one
  kText,        // a text constant, held in Item::text until it becomes a Value
  kConstant,    // bytes, True, False, None
  kEllipsis,
  kTuple,
  kList,
  kSet,
  kDict,
  kEmptySet,  // set()
  kName,      // a bare name, which is a literal only as the callee of set()
  kOther,     // any other expression, never a literal
};

struct Item {
  Shape shape = Shape::kOther;
  std::size_t begin = 0;  // offset of the expression's first character
  std::size_t end = 0;    // offset just past its last character
  Value value;
  std::string text;                     // kText; the decimal digits of an out_of_range integer
  bool out_of_range = false;            // an integer that does not fit in 64 bits
  bool is_set_name = false;             // kName `set`
  const char* unhashable = nullptr;     // the type Python names when hashing fails
  const char* held_in_tuple = nullptr;  // kTuple: what of its elements Value cannot hold
  bool assignable = false;              // a name, attribute, subscript, or a tuple or list of them
};

// ---------------------------------------------------------------- parser

class Parser {
 public:
  // `building` false: every fault is found, but no value is kept, save a dict key's repr
  // that meets a text key, which only building finds. With a `budget`, building gives up
  // (BuildBudget::Exceeded) once the value outgrows it.
  Parser(std::string_view text, bool building, core::internal::BuildBudget* budget = nullptr)
      : lexer_(text), building_(building), budget_(budget) {}

  Value parse() {
    lexer_.start();
    advance();
    if (building_) {
      bool read = true;
      Value plain = read_plain_element(read);
      if (read && at_expression_end()) return plain;
      restart();
    }
    Item top = parse_expressions();
    if (token_.kind == TokenKind::kNewline) {
      lexer_.finish();
    } else if (token_.kind != TokenKind::kEnd) {
      fail_here("invalid syntax");
    }
    Value result = convert(std::move(top));
    if (!error_message_.empty()) {
      if (error_is_type_) throw TypeError(error_message_);
      throw ValueError(error_message_);
    }
    if (!unrepresentable_.empty()) throw ValueError(unrepresentable_);
    return result;
  }

  // The plain read alone; see read_plain_literal.
  core::internal::PlainLiteral parse_plain(Value& out) {
    using core::internal::PlainLiteral;
    lexer_.start();
    advance();
    bool read = true;
    Value plain = read_plain_element(read);
    if (read && at_expression_end()) {
      out = std::move(plain);
      return PlainLiteral::kValue;
    }
    if (read) refused_ = at_name_no_literal_holds();  // prose after the display
    return refused_ ? PlainLiteral::kRefused : PlainLiteral::kUnsure;
  }

 private:
  // ------------------------------------------------------------ token helpers

  std::string_view text_of(const Token& t) const {
    return lexer_.text().substr(t.begin, t.end - t.begin);
  }

  void advance() {
    previous_end_ = token_.end;
    lexer_.next(token_);
  }

  bool at_operator(std::string_view op) const {
    return token_.kind == TokenKind::kOperator && token_.op == operator_code(op);
  }

  bool at_keyword(Keyword k) const {
    return token_.kind == TokenKind::kName && token_.keyword == k;
  }

  bool accept_operator(std::string_view op) {
    if (!at_operator(op)) return false;
    advance();
    return true;
  }

  bool accept_keyword(Keyword k) {
    if (!at_keyword(k)) return false;
    advance();
    return true;
  }

  [[noreturn]] void fail_here(const std::string& what) const { lexer_.fail(token_.begin, what); }

  void expect_operator(std::string_view op) {
    if (!accept_operator(op)) fail_here("expected '" + std::string(op) + "'");
  }

  void expect_keyword(Keyword k, std::string_view spelling) {
    if (!accept_keyword(k)) fail_here("expected '" + std::string(spelling) + "'");
  }

  // A number, a single string or True/False/None that makes up a whole element: read without
  // descending through every level of the grammar.
  bool at_lone_constant() const {
    const bool constant =
        token_.kind == TokenKind::kNumber || token_.kind == TokenKind::kString ||
        (token_.kind == TokenKind::kName &&
         (token_.keyword == Keyword::kTrueLiteral || token_.keyword == Keyword::kFalseLiteral ||
          token_.keyword == Keyword::kNoneLiteral));
    return constant && lexer_.at_separator_next();
  }

  // An expression starts with a name that is not a statement keyword, a literal token, an
  // opening bracket, a unary operator, `...` or `*`/`**` where the caller allows them.
  bool at_expression_start() const {
    switch (token_.kind) {
      case TokenKind::kName:
        return token_.keyword != Keyword::kOther && token_.keyword != Keyword::kAnd &&
               token_.keyword != Keyword::kOr && token_.keyword != Keyword::kElse &&
               token_.keyword != Keyword::kFor && token_.keyword != Keyword::kIf &&
               token_.keyword != Keyword::kIn && token_.keyword != Keyword::kIs &&
               token_.keyword != Keyword::kFrom && token_.keyword != Keyword::kYield &&
               token_.keyword != Keyword::kAsync;
      case TokenKind::kNumber:
      case TokenKind::kString:
        return true;
      case TokenKind::kOperator: {
        return at_operator("(") || at_operator("[") || at_operator("{") || at_operator("-") ||
               at_operator("+") || at_operator("~") || at_operator("...");
      }
      default:
        return false;
    }
  }

  // ------------------------------------------------------------ faults found while converting

  // Records the first fault in reading order. A fault inside an expression that turns out not
  // to be a literal is replaced by that expression's own fault, as Python never looks inside.
  void record_fault(bool is_type_error, std::string message, std::size_t offset) {
    if (!error_message_.empty()) return;
    error_is_type_ = is_type_error;
    error_message_ = std::move(message);
    error_offset_ = offset;
  }

  void record_not_literal(const Item& item) {
    if (error_message_.empty() || error_offset_ >= item.begin) {
      error_is_type_ = false;
      error_message_ = "literal_eval: not a literal at " + where(lexer_.text(), item.begin) + ": " +
                       quote(lexer_.text(), item.begin, item.end);
      error_offset_ = item.begin;
    }
  }

  void record_unrepresentable(const Item& item, std::string_view what) {
    if (!unrepresentable_.empty()) return;
    unrepresentable_ = "literal_eval: " + std::string(what) + " at " +
                       where(lexer_.text(), item.begin) +
                       " cannot be held in a Value: " + quote(lexer_.text(), item.begin, item.end);
  }

  bool has_fault() const { return !error_message_.empty() || !unrepresentable_.empty(); }

  // What of a literal Value cannot hold, or nullptr.
  static const char* unheld_kind(const Item& item) {
    switch (item.shape) {
      case Shape::kNumber:
      case Shape::kSignedNumber:
        return item.out_of_range ? "integer outside the 64-bit range" : nullptr;
      case Shape::kImaginary:
      case Shape::kSignedImaginary:
      case Shape::kComplexSum:
        return "complex number";
      case Shape::kEllipsis:
        return "Ellipsis";
      default:
        return nullptr;
    }
  }

  // An unheld literal as it waits to become a dict key; nullopt when it cannot even be one.
  static std::optional<Value> held_back_value(const Item& item) {
    if (item.shape == Shape::kEllipsis) return held_back("E", "Ellipsis");
    if (item.shape == Shape::kNumber || item.shape == Shape::kSignedNumber) {
      if (item.text.empty()) return std::nullopt;
      return held_back("i" + item.text, item.text);
    }
    if (!item.value.is_array()) return std::nullopt;
    const double real = item.value[0].get<double>();
    const double imaginary = item.value[1].get<double>();
    const std::string text = complex_repr(real, imaginary);
    return held_back(imaginary == 0 ? canonical(Value(real)) : "c" + text, text);
  }

  // The value of a finished dict key: what Value cannot hold may still be a key, stored
  // under its repr.
  Value convert_key(Item&& item) {
    if (unheld_kind(item) != nullptr) {
      if (auto held = held_back_value(item)) return std::move(*held);
    } else if (item.shape == Shape::kTuple) {
      return std::move(item.value);
    }
    return convert(std::move(item));
  }

  // The value of a finished element, as Python's conversion makes it.
  Value convert(Item&& item) {
    if (const char* kind = unheld_kind(item)) {
      record_unrepresentable(item, kind);
      return Value();
    }
    switch (item.shape) {
      case Shape::kText:
        return Value(std::move(item.text));
      case Shape::kTuple:
        if (item.held_in_tuple != nullptr) {
          record_unrepresentable(item, std::string(item.held_in_tuple) + " in a tuple");
        }
        return std::move(item.value);
      case Shape::kNumber:
      case Shape::kSignedNumber:
      case Shape::kConstant:
      case Shape::kList:
      case Shape::kSet:
      case Shape::kDict:
        return std::move(item.value);
      case Shape::kEmptySet:
        return Value(Value::value_t::array);
      default:
        break;
    }
    record_not_literal(item);
    return Value();
  }

  // The type Python names when hashing the value of `item` fails, or nullptr. An expression
  // that is not a literal has already failed in its own way.
  static const char* unhashable_type(const Item& item) {
    return item.shape == Shape::kOther || item.shape == Shape::kName ? nullptr : item.unhashable;
  }

  void record_unhashable(const char* type, std::size_t offset) {
    record_fault(true,
                 std::string("literal_eval: unhashable type: '") + type + "' at " +
                     where(lexer_.text(), offset),
                 offset);
  }

  Item other(std::size_t begin) const {
    Item item;
    item.shape = Shape::kOther;
    item.begin = begin;
    item.end = previous_end_;
    return item;
  }

  struct DepthGuard {
    explicit DepthGuard(Parser& p) : parser(p) {
      if (++parser.depth_ > kMaxExpressionDepth) parser.fail_here("expression nested too deeply");
    }
    ~DepthGuard() { --parser.depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    Parser& parser;
  };

  // ------------------------------------------------------------ expressions

  // expression (',' expression)* [','] -- the top level, where a bare comma makes a tuple.
  Item parse_expressions() {
    const std::size_t begin = token_.begin;
    Item first = parse_expression();
    if (!at_operator(",")) return first;
    TupleBuilder tuple(*this, begin);
    tuple.add(std::move(first));
    while (accept_operator(",")) {
      if (!at_expression_start()) break;
      tuple.add(parse_expression());
    }
    return tuple.finish(previous_end_);
  }

  // lambda | disjunction ['if' disjunction 'else' expression]
  Item parse_expression() {
    DepthGuard guard(*this);
    const std::size_t begin = token_.begin;
    if (at_lone_constant()) return parse_atom();
    if (at_keyword(Keyword::kLambda)) return parse_lambda();
    // Each level below returns the one Item it names, so that it is built in place.
    Item item = parse_disjunction();
    if (!at_keyword(Keyword::kIf)) return item;
    // The chain a if b else c if d else e, read as a loop.
    while (accept_keyword(Keyword::kIf)) {
      parse_disjunction();
      expect_keyword(Keyword::kElse, "else");
      if (at_keyword(Keyword::kLambda)) {
        parse_lambda();
        break;
      }
      parse_disjunction();
    }
    item = other(begin);
    return item;
  }

  // NAME ':=' expression | expression
  Item parse_named_expression() { return finish_named_expression(parse_expression()); }

  Item finish_named_expression(Item&& target) {
    if (!at_operator(":=")) return std::move(target);
    if (target.shape != Shape::kName) fail_here("cannot assign to this expression");
    advance();
    parse_expression();
    return other(target.begin);
  }

  // '*' bitwise_or | named_expression -- an element of a tuple, list or set display.
  Item parse_star_named_expression() {
    const std::size_t begin = token_.begin;
    if (accept_operator("*")) {
      const bool assignable = parse_binary(kBitOrPrecedence).assignable;
      Item starred = other(begin);
      starred.assignable = assignable;
      return starred;
    }
    return parse_named_expression();
  }

  Item parse_lambda() {
    const std::size_t begin = token_.begin;
    advance();  // lambda
    bool seen_default = false;
    bool seen_star = false;
    while (!at_operator(":")) {
      if (accept_operator("**")) {
        expect_name();
        accept_operator(",");
        break;
      }
      if (accept_operator("*")) {
        if (seen_star) fail_here("only one '*' is allowed");
        seen_star = true;
        if (token_.kind == TokenKind::kName) {
          expect_name();
        } else if (at_operator(":")) {
          fail_here("named arguments must follow bare *");
        }
      } else if (accept_operator("/")) {
        // positional-only marker
      } else {
        expect_name();
        if (accept_operator("=")) {
          parse_expression();
          seen_default = true;
        } else if (seen_default && !seen_star) {
          fail_here("non-default argument follows default argument");
        }
      }
      if (!accept_operator(",")) break;
    }
    expect_operator(":");
    parse_expression();
    return other(begin);
  }

  void expect_name() {
    if (token_.kind != TokenKind::kName || token_.keyword != Keyword::kNone) {
      fail_here("expected a name");
    }
    advance();
  }

  Item parse_disjunction() {
    const std::size_t begin = token_.begin;
    Item item = parse_conjunction();
    bool is_other = false;
    while (accept_keyword(Keyword::kOr)) {
      parse_conjunction();
      is_other = true;
    }
    if (is_other) item = other(begin);
    return item;
  }

  Item parse_conjunction() {
    const std::size_t begin = token_.begin;
    Item item = parse_inversion();
    bool is_other = false;
    while (accept_keyword(Keyword::kAnd)) {
      parse_inversion();
      is_other = true;
    }
    if (is_other) item = other(begin);
    return item;
  }

  Item parse_inversion() {
    const std::size_t begin = token_.begin;
    bool negated = false;
    while (accept_keyword(Keyword::kNot)) negated = true;
    Item item = parse_comparison();
    if (negated) item = other(begin);
    return item;
  }

  bool accept_comparison_operator() {
    if (accept_operator("==") || accept_operator("!=") || accept_operator("<=") ||
        accept_operator("<") || accept_operator(">=") || accept_operator(">")) {
      return true;
    }
    if (accept_keyword(Keyword::kIn)) return true;
    if (accept_keyword(Keyword::kIs)) {
      accept_keyword(Keyword::kNot);
      return true;
    }
    if (accept_keyword(Keyword::kNot)) {
      expect_keyword(Keyword::kIn, "in");
      return true;
    }
    return false;
  }

  Item parse_comparison() {
    const std::size_t begin = token_.begin;
    Item item = parse_binary(kBitOrPrecedence);
    bool is_other = false;
    while (accept_comparison_operator()) {
      parse_binary(kBitOrPrecedence);
      is_other = true;
    }
    if (is_other) item = other(begin);
    return item;
  }

  static constexpr int kBitOrPrecedence = 1;
  static constexpr int kSumPrecedence = 5;

  int binary_precedence() const {
    if (token_.kind != TokenKind::kOperator) return 0;
    switch (token_.op) {
      case operator_code("|"):
        return 1;
      case operator_code("^"):
        return 2;
      case operator_code("&"):
        return 3;
      case operator_code("<<"):
      case operator_code(">>"):
        return 4;
      case operator_code("+"):
      case operator_code("-"):
        return kSumPrecedence;
      case operator_code("*"):
      case operator_code("/"):
      case operator_code("//"):
      case operator_code("%"):
      case operator_code("@"):
        return 6;
      default:
        return 0;
    }
  }

  // Left-associative binary operators by precedence climbing, | lowest to * highest.
  Item parse_binary(int min_precedence) {
    const std::size_t begin = token_.begin;
    Item left = parse_factor();
    for (int precedence = binary_precedence(); precedence >= min_precedence;
         precedence = binary_precedence()) {
      const bool plus = at_operator("+");
      advance();
      Item right = parse_binary(precedence + 1);
      left = precedence == kSumPrecedence ? complex_sum(left, right, plus, begin) : other(begin);
    }
    return left;
  }

  // 1+2j and -1.5-2j are literals: a signed real number and an imaginary one.
  Item complex_sum(const Item& left, const Item& right, bool plus, std::size_t begin) const {
    const bool real_left = left.shape == Shape::kNumber || left.shape == Shape::kSignedNumber;
    Item sum = other(begin);
    if (!real_left || right.shape != Shape::kImaginary) return sum;
    sum.shape = Shape::kComplexSum;
    // Python adds complex(real, 0.0) and complex(0.0, imaginary), signed zeros included.
    const std::optional<double> real = real_part(left);
    if (!real) return sum;  // too large for a double: Python fails to add it
    const double imaginary = right.value[1].get<double>();
    sum.value = plus ? Value::array({*real + 0.0, 0.0 + imaginary})
                     : Value::array({*real - 0.0, 0.0 - imaginary});
    return sum;
  }

  static std::optional<double> real_part(const Item& number) {
    if (!number.out_of_range) return number.value.get<double>();
    double d = 0;
    const std::string& digits = number.text;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), d);
    if (digits.empty() || r.ec != std::errc()) return std::nullopt;
    return d;
  }

  // ('+' | '-' | '~')* power; one sign on a number constant keeps it a literal.
  Item parse_factor() {
    const std::size_t begin = token_.begin;
    int signs = 0;
    bool negative = false;
    bool only_signs = true;
    for (;;) {
      if (at_operator("-")) {
        negative = !negative;
      } else if (!at_operator("+")) {
        if (!at_operator("~")) break;
        only_signs = false;
      }
      ++signs;
      advance();
    }
    Item operand = parse_power();
    if (signs == 0) return operand;
    if (signs > 1 || !only_signs) {
      operand = other(begin);
    } else if (operand.shape == Shape::kImaginary) {
      Item signed_item = other(begin);
      signed_item.shape = Shape::kSignedImaginary;
      const double imaginary = operand.value[1].get<double>();
      signed_item.value = negative ? Value::array({-0.0, -imaginary}) : std::move(operand.value);
      operand = std::move(signed_item);
    } else if (operand.shape != Shape::kNumber) {
      operand = other(begin);
    } else {
      operand.shape = Shape::kSignedNumber;
      operand.begin = begin;
      if (negative) negate(operand);
    }
    return operand;
  }

  static void negate(Item& number) {
    if (number.out_of_range) {
      if (!number.text.empty()) number.text.insert(0, 1, '-');
      return;
    }
    Value& v = number.value;
    if (v.is_number_float()) {
      v = -v.get<double>();
    } else if (v.is_number_unsigned()) {
      const auto magnitude = v.get<std::uint64_t>();
      constexpr auto kMinMagnitude = std::uint64_t{1} << 63;
      if (magnitude == kMinMagnitude) {
        v = std::numeric_limits<std::int64_t>::min();
      } else {
        number.out_of_range = true;
        number.text = "-" + std::to_string(magnitude);
      }
    } else {
      v = -v.get<std::int64_t>();
    }
  }

  // await_primary ['**' factor], the chain of powers read as a loop.
  Item parse_power() {
    const std::size_t begin = token_.begin;
    Item item = parse_await_primary();
    if (!at_operator("**")) return item;
    while (accept_operator("**")) {
      while (at_operator("-") || at_operator("+") || at_operator("~")) advance();
      parse_await_primary();
    }
    item = other(begin);
    return item;
  }

  Item parse_await_primary() {
    const std::size_t begin = token_.begin;
    if (!accept_keyword(Keyword::kAwait)) return parse_primary();
    parse_primary();
    return other(begin);
  }

  // atom followed by attribute, call and subscript trailers.
  Item parse_primary() {
    const std::size_t begin = token_.begin;
    Item item = parse_atom();
    for (;;) {
      if (accept_operator(".")) {
        expect_name();
        item = other(begin);
        item.assignable = true;
      } else if (at_operator("(")) {
        const bool no_arguments = parse_call_arguments();
        const bool empty_set = item.shape == Shape::kName && item.is_set_name && no_arguments;
        item = other(begin);
        if (empty_set) {
          item.shape = Shape::kEmptySet;
          item.unhashable = "set";
        }
      } else if (at_operator("[")) {
        parse_subscript();
        item = other(begin);
        item.assignable = true;
      } else {
        return item;
      }
    }
  }

  // '(' arguments ')'; true when there are none.
  bool parse_call_arguments() {
    advance();  // (
    if (accept_operator(")")) return true;
    bool seen_keyword = false;
    bool seen_double_star = false;
    std::size_t count = 0;
    for (;;) {
      ++count;
      if (accept_operator("**")) {
        parse_expression();
        seen_double_star = true;
      } else if (accept_operator("*")) {
        if (seen_double_star) fail_here("iterable unpacking follows keyword unpacking");
        parse_expression();
      } else {
        Item argument = parse_named_expression();
        if (at_operator("=")) {
          if (argument.shape != Shape::kName) fail_here("expression cannot be a keyword");
          advance();
          parse_expression();
          seen_keyword = true;
        } else if (at_keyword(Keyword::kFor) || at_keyword(Keyword::kAsync)) {
          parse_comprehension_clauses();
          if (count > 1 || !at_operator(")"))
            fail_here("generator expression must be parenthesized");
        } else if (seen_keyword || seen_double_star) {
          fail_here("positional argument follows keyword argument");
        }
      }
      if (!accept_operator(",")) break;
      if (at_operator(")")) break;
    }
    expect_operator(")");
    return false;
  }

  void parse_subscript() {
    advance();  // [
    if (at_operator("]")) fail_here("empty subscript");
    do {
      if (at_operator("]")) break;
      if (accept_operator("*")) {
        parse_binary(kBitOrPrecedence);
        continue;
      }
      if (!at_operator(":")) parse_named_expression();
      if (accept_operator(":")) {
        if (!at_slice_end()) parse_expression();
        if (accept_operator(":") && !at_slice_end()) parse_expression();
      }
    } while (accept_operator(","));
    expect_operator("]");
  }

  bool at_slice_end() const { return at_operator(":") || at_operator(",") || at_operator("]"); }

  // ('async'? 'for' targets 'in' disjunction ('if' disjunction)*)+
  void parse_comprehension_clauses() {
    while (at_keyword(Keyword::kFor) || at_keyword(Keyword::kAsync)) {
      accept_keyword(Keyword::kAsync);
      expect_keyword(Keyword::kFor, "for");
      do {
        if (at_keyword(Keyword::kIn)) break;
        const std::size_t target = token_.begin;
        accept_operator("*");
        if (!parse_binary(kBitOrPrecedence).assignable) {
          lexer_.fail(target, "cannot assign to this expression");
        }
      } while (accept_operator(","));
      expect_keyword(Keyword::kIn, "in");
      parse_disjunction();
      while (accept_keyword(Keyword::kIf)) parse_disjunction();
    }
  }

  bool at_comprehension() const { return at_keyword(Keyword::kFor) || at_keyword(Keyword::kAsync); }

  // ------------------------------------------------------------ atoms

  Item parse_atom() {
    const std::size_t begin = token_.begin;
    switch (token_.kind) {
      case TokenKind::kNumber:
        return parse_number();
      case TokenKind::kString:
        return parse_strings();
      case TokenKind::kName:
        return parse_name();
      case TokenKind::kOperator:
        if (at_operator("(")) return parse_parenthesized();
        if (at_operator("[")) return parse_list();
        if (at_operator("{")) return parse_braces();
        if (accept_operator("...")) {
          Item item = other(begin);
          item.shape = Shape::kEllipsis;
          return item;
        }
        break;
      default:
        break;
    }
    fail_here("invalid syntax");
  }

  Item parse_name() {
    const std::size_t begin = token_.begin;
    const Keyword keyword = token_.keyword;
    const std::string_view name = text_of(token_);
    Item item;
    switch (keyword) {
      case Keyword::kNone:
        advance();
        item = other(begin);
        item.shape = Shape::kName;
        item.assignable = true;
        item.is_set_name = spells_set(name);
        return item;
      case Keyword::kTrueLiteral:
      case Keyword::kFalseLiteral:
      case Keyword::kNoneLiteral:
        advance();
        item = other(begin);
        item.shape = Shape::kConstant;
        if (keyword != Keyword::kNoneLiteral) item.value = keyword == Keyword::kTrueLiteral;
        return item;
      default:
        fail_here("invalid syntax");
    }
  }

  Item parse_number() {
    const std::string_view text = text_of(token_);
    Item item;
    item.shape = Shape::kNumber;
    item.begin = token_.begin;
    advance();
    item.end = previous_end_;
    // Most numbers have no underscore, and are read where they stand. One look at the
    // characters tells both that and whether a decimal number is a float.
    bool underscore = false;
    bool float_mark = false;
    for (const char c : text) {
      underscore = underscore || c == '_';
      float_mark = float_mark || c == '.' || c == 'e' || c == 'E';
    }
    std::string without_underscores;
    std::string_view digits = text;
    if (underscore) {
      std::copy_if(text.begin(), text.end(), std::back_inserter(without_underscores),
                   [](char c) { return c != '_'; });
      digits = without_underscores;
    }
    const char last = digits.back();
    if (last == 'j' || last == 'J') {
      item.shape = Shape::kImaginary;
      digits.remove_suffix(1);
      item.value = Value::array(
          {0.0, core::internal::parse_decimal_float(digits)});  // real and imaginary parts
      return item;
    }
    const bool has_base = digits.size() > 1 && digits[0] == '0' &&
                          std::string_view("xXoObB").find(digits[1]) != std::string_view::npos;
    if (has_base || !float_mark) {
      set_integer(item, digits, has_base);
    } else {
      item.value = core::internal::parse_decimal_float(digits);
    }
    return item;
  }

  static void set_integer(Item& item, std::string_view digits, bool has_base) {
    int base = 10;
    if (has_base) {
      const char b = static_cast<char>(std::tolower(static_cast<unsigned char>(digits[1])));
      base = b == 'x' ? 16 : b == 'o' ? 8 : 2;
      digits.remove_prefix(2);
    }
    std::uint64_t n = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), n, base);
    if (r.ec == std::errc::result_out_of_range) {
      item.out_of_range = true;
      // Python writes no integer of more than 4300 digits; nor do we, nor do we spend the time.
      constexpr double kMaxDecimalDigits = 4300;
      if (static_cast<double>(digits.size()) * std::log10(base) <= kMaxDecimalDigits) {
        item.text = Decimal::parse(digits, base).str();
      }
    } else if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      item.value = n;
    } else {
      item.value = static_cast<std::int64_t>(n);
    }
  }

  // Adjacent string literals join into one; text and bytes do not mix.
  Item parse_strings() {
    Item item;
    item.begin = token_.begin;
    item.shape = Shape::kConstant;
    const bool bytes = token_.prefix.bytes;
    bool formatted = false;
    std::string out;
    out.reserve(token_.body_end - token_.body_begin);
    while (token_.kind == TokenKind::kString) {
      if (token_.prefix.bytes != bytes) fail_here("cannot mix bytes and nonbytes literals");
      if (token_.prefix.formatted) {
        check_format_string(body(), token_.body_begin, token_.prefix.raw);
        formatted = true;
      } else {
        append_body(out);
      }
      if (bytes) check_ascii(body(), token_.body_begin);
      if (!building_) out.clear();
      advance();
    }
    item.end = previous_end_;
    if (formatted) return other(item.begin);
    if (bytes) {
      item.value = Value::binary(std::vector<std::uint8_t>(out.begin(), out.end()));
    } else {
      item.shape = Shape::kText;
      item.text = std::move(out);
    }
    return item;
  }

  std::string_view body() const {
    return lexer_.text().substr(token_.body_begin, token_.body_end - token_.body_begin);
  }

  // What the body of the string token at hand stands for; not for an f-string.
  std::string body_text() const {
    if (token_.plain) return std::string(body());
    std::string out;
    append_body(out);
    return out;
  }

  // Appends what the body of the string token at hand stands for; not for an f-string.
  void append_body(std::string& out) const {
    if (token_.plain) {
      out.append(body());
    } else if (token_.prefix.raw) {
      append_raw(out, body());
    } else if (token_.prefix.bytes) {
      decode_bytes(out, body(), token_.body_begin);
    } else {
      decode_text(out, body(), token_.body_begin);
    }
  }

  // A text constant that makes up a whole element (one string token, then a separator), the
  // usual key and value of a reply's dict: read into `out` without the Item an expression
  // makes. False, with nothing read, when the token at hand is no such text.
  bool take_lone_text(std::string& out) {
    if (token_.kind != TokenKind::kString || token_.prefix.bytes || token_.prefix.formatted ||
        !lexer_.at_separator_next()) {
      return false;
    }
    if (depth_ >= kMaxExpressionDepth) fail_here("expression nested too deeply");
    out.clear();
    append_body(out);
    advance();
    return true;
  }

  void check_ascii(std::string_view body, std::size_t offset) const {
    for (std::size_t i = 0; i < body.size(); ++i) {
      if (static_cast<unsigned char>(body[i]) >= 0x80) {
        lexer_.fail(offset + i, "bytes can only contain ASCII literal characters");
      }
    }
  }

  // Copies a literal's body to `out` with every line break as \n, handing each backslash to
  // `escape(out, i)` (i just past it), which appends what the escape stands for and returns
  // how many characters after the backslash it took.
  template <typename Escape>
  static void decode(std::string& out, std::string_view body, Escape escape) {
    std::size_t run = 0;  // start of the characters not yet copied
    std::size_t i = 0;
    while (i < body.size()) {
      const char c = body[i];
      if (c != '\\' && c != '\r') {
        ++i;
        continue;
      }
      out.append(body.data() + run, i - run);
      if (c == '\r') {
        out += '\n';
        i += i + 1 < body.size() && body[i + 1] == '\n' ? 2 : 1;
      } else {
        ++i;  // a body never ends in a lone backslash
        i += escape(out, i);
      }
      run = i;
    }
    out.append(body.data() + run, body.size() - run);
  }

  // In a raw literal a backslash stays, and only keeps the next character from ending it.
  static void append_raw(std::string& out, std::string_view body) {
    decode(out, body, [](std::string& to, std::size_t) {
      to += '\\';
      return std::size_t{0};
    });
  }

  // Reads `count` hex digits at body[i]; -1 when they are not there.
  static long long hex_digits(std::string_view body, std::size_t i, std::size_t count) {
    if (i + count > body.size()) return -1;
    long long value = 0;
    for (std::size_t k = 0; k < count; ++k) {
      const int digit = hex_value(body[i + k]);
      if (digit < 0) return -1;
      value = value * 16 + digit;
    }
    return value;
  }

  // Handles the escapes that text and bytes share. Returns the length of the escape after the
  // backslash, or 0 when `c` starts none of them. Writes the code point or byte to `value`.
  std::size_t common_escape(std::string_view body, std::size_t i, std::size_t offset,
                            std::uint32_t& value) const {
    static constexpr std::string_view kSimple = "\\'\"abfnrtv";
    static constexpr std::string_view kSimpleValues = "\\'\"\a\b\f\n\r\t\v";
    const char c = body[i];
    if (const std::size_t k = kSimple.find(c); k != std::string_view::npos) {
      value = static_cast<unsigned char>(kSimpleValues[k]);
      return 1;
    }
    if (c >= '0' && c <= '7') {
      std::size_t n = 0;
      value = 0;
      while (n < 3 && i + n < body.size() && body[i + n] >= '0' && body[i + n] <= '7') {
        value = value * 8 + static_cast<std::uint32_t>(body[i + n] - '0');
        ++n;
      }
      return n;
    }
    if (c == 'x') {
      const long long v = hex_digits(body, i + 1, 2);
      if (v < 0) lexer_.fail(offset + i - 1, "truncated \\xXX escape");
      value = static_cast<std::uint32_t>(v);
      return 3;
    }
    return 0;
  }

  // Length of a backslash-newline continuation at body[i] (after the backslash), or 0.
  static std::size_t continuation(std::string_view body, std::size_t i) {
    if (body[i] == '\n') return 1;
    if (body[i] == '\r') return i + 1 < body.size() && body[i + 1] == '\n' ? 2 : 1;
    return 0;
  }

  void decode_text(std::string& out, std::string_view body, std::size_t offset) const {
    decode(out, body,
           [&](std::string& to, std::size_t i) { return decode_text_escape(to, body, i, offset); });
  }

  std::size_t decode_text_escape(std::string& out, std::string_view body, std::size_t i,
                                 std::size_t offset) const {
    if (const std::size_t n = continuation(body, i)) return n;
    std::uint32_t cp = 0;
    if (const std::size_t n = common_escape(body, i, offset, cp)) {
      append_code_point(out, cp);
      return n;
    }
    const char c = body[i];
    if (c == 'u' || c == 'U') {
      const std::size_t count = c == 'u' ? 4 : 8;
      const long long v = hex_digits(body, i + 1, count);
      if (v < 0) lexer_.fail(offset + i - 1, std::string("truncated \\") + c + " escape");
      if (v > 0x10FFFF) lexer_.fail(offset + i - 1, "illegal Unicode character in \\U escape");
      append_code_point(out, static_cast<std::uint32_t>(v));
      return 1 + count;
    }
    if (c == 'N') {
      const std::size_t close = body.find('}', i);
      if (i + 1 >= body.size() || body[i + 1] != '{' || close == std::string_view::npos ||
          close == i + 2) {
        lexer_.fail(offset + i - 1, "malformed \\N character escape");
      }
      const auto named = core::internal::code_point_named(body.substr(i + 2, close - i - 2));
      if (!named) lexer_.fail(offset + i - 1, "unknown Unicode character name");
      append_code_point(out, *named);
      return close + 1 - i;
    }
    out += '\\';  // an unknown escape keeps its backslash
    return 0;
  }

  void decode_bytes(std::string& out, std::string_view body, std::size_t offset) const {
    decode(out, body, [&](std::string& to, std::size_t i) {
      if (const std::size_t n = continuation(body, i)) return n;
      std::uint32_t value = 0;
      const std::size_t n = common_escape(body, i, offset, value);
      to += n > 0 ? static_cast<char>(value & 0xFF) : '\\';  // unknown escapes keep it
      return n;
    });
  }

  // An f-string is never a literal, but its braces must still be well formed, and the escapes
  // of its text (\N{...} among them, whose braces are no field) valid.
  void check_format_string(std::string_view body, std::size_t offset, bool raw) const {
    for (std::size_t i = 0; i < body.size(); ++i) {
      if (!raw && body[i] == '\\') {
        std::string ignored;
        i += decode_text_escape(ignored, body, i + 1, offset);
        continue;
      }
      if (body[i] == '}') {
        if (i + 1 < body.size() && body[i + 1] == '}') {
          ++i;
          continue;
        }
        lexer_.fail(offset + i, "f-string: single '}' is not allowed");
      }
      if (body[i] != '{') continue;
      if (i + 1 < body.size() && body[i + 1] == '{') {
        ++i;
        continue;
      }
      int depth = 1;
      const std::size_t open = i++;
      while (i < body.size() && depth > 0) {
        if (body[i] == '{') ++depth;
        if (body[i] == '}') --depth;
        ++i;
      }
      if (depth > 0) lexer_.fail(offset + open, "f-string: expecting '}'");
      const std::string_view field = body.substr(open + 1, i - open - 2);
      if (field.find_first_not_of(" \t\n\r\f") == std::string_view::npos) {
        lexer_.fail(offset + open, "f-string: empty expression not allowed");
      }
      check_conversion(field, offset + open + 1);
      --i;
    }
  }

  // A replacement field is expression ['!' s|r|a] [':' format]; finds its '!' outside
  // brackets and quotes.
  void check_conversion(std::string_view field, std::size_t offset) const {
    int depth = 0;
    char quote = 0;
    for (std::size_t i = 0; i < field.size(); ++i) {
      const char c = field[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '\'' || c == '"') {
        quote = c;
      } else if (c == '(' || c == '[' || c == '{') {
        ++depth;
      } else if (c == ')' || c == ']' || c == '}') {
        --depth;
      } else if (depth == 0 && c == ':') {
        return;
      } else if (depth == 0 && c == '!' && (i + 1 >= field.size() || field[i + 1] != '=')) {
        const std::string_view conversion = field.substr(i + 1);
        const bool valid = !conversion.empty() &&
                           std::string_view("sra").find(conversion[0]) != std::string_view::npos &&
                           (conversion.size() == 1 || conversion[1] == ':');
        if (!valid || field.find_first_not_of(" \t\n\r\f") == i) {
          lexer_.fail(offset + i, "f-string: invalid conversion");
        }
        return;
      }
    }
  }

  // ------------------------------------------------------------ plain displays

  // The usual reply is a dict or list of texts, numbers, True, False, None and displays of
  // them. Such an element is read straight from its tokens into its value, without the Items
  // and grammar levels that an arbitrary expression needs. Anything else makes the read give
  // up where it stands, and the whole grammar reads the text again from its start: the
  // tokens read so far are a valid start of an expression there, so every fault is found by
  // that second read, in the same place. (With a budget, the second read may find it spent
  // sooner; that only sends the text down the road of checking before building.)
  // `read` is cleared when the element is no plain one; the value is built in its place.
  Value read_plain_element(bool& read) {
    switch (token_.kind) {
      case TokenKind::kString: {
        if (token_.prefix.bytes || token_.prefix.formatted) break;
        Value text(body_text());
        advance();
        return text;
      }
      case TokenKind::kNumber:
        return read_plain_number(read, false);
      case TokenKind::kName: {
        const Keyword keyword = token_.keyword;
        if (keyword != Keyword::kTrueLiteral && keyword != Keyword::kFalseLiteral &&
            keyword != Keyword::kNoneLiteral) {
          refused_ = at_name_no_literal_holds();
          break;
        }
        advance();
        return keyword == Keyword::kNoneLiteral ? Value() : Value(keyword == Keyword::kTrueLiteral);
      }
      case TokenKind::kOperator:
        if (at_operator("{")) return read_plain_dict(read);
        if (at_operator("[")) return read_plain_list(read);
        if (at_operator("-")) {
          advance();
          if (token_.kind == TokenKind::kNumber) return read_plain_number(read, true);
        }
        break;
      default:
        break;
    }
    read = false;
    return Value();
  }

  // A number, negated after a minus; not an imaginary one, nor one beyond 64 bits.
  Value read_plain_number(bool& read, bool negative) {
    Item number = parse_number();
    if (number.shape == Shape::kNumber && negative) negate(number);
    read = number.shape == Shape::kNumber && !number.out_of_range;
    return read ? std::move(number.value) : Value();
  }

  // Whether the token at hand is a name that makes any text holding it no literal: one other
  // than True, False and None, and not called as set is in set(). A parenthesis after blanks
  // is not looked for: such a name is not counted.
  bool at_name_no_literal_holds() const {
    if (token_.kind != TokenKind::kName || token_.keyword == Keyword::kTrueLiteral ||
        token_.keyword == Keyword::kFalseLiteral || token_.keyword == Keyword::kNoneLiteral) {
      return false;
    }
    const std::string_view text = lexer_.text();
    return token_.end >= text.size() ||
           std::string_view("( \t\f\r\n\\#").find(text[token_.end]) == std::string_view::npos;
  }

  Value read_plain_dict(bool& read) {
    DictBuilder dict(*this, token_.begin);
    advance();  // {
    while (!at_operator("}")) {
      if (token_.kind != TokenKind::kString || token_.prefix.bytes || token_.prefix.formatted) {
        read = false;
        return Value();
      }
      const std::size_t key_begin = token_.begin;
      std::string key = body_text();
      advance();
      const std::size_t key_end = previous_end_;
      read = accept_operator(":");
      if (!read) return Value();
      Value value = read_plain_element(read);
      if (!read) return Value();
      dict.add_text_member(std::move(key), std::move(value), key_begin, key_end);
      if (!accept_operator(",")) break;
    }
    read = accept_operator("}");
    return dict.take_value();
  }

  Value read_plain_list(bool& read) {
    advance();  // [
    Value list(Value::value_t::array);
    auto& elements = list.get_ref<Value::array_t&>();
    while (!at_operator("]")) {
      Value element = read_plain_element(read);
      if (!read) return Value();
      keep(elements, std::move(element));
      if (!accept_operator(",")) break;
    }
    read = accept_operator("]");
    return list;
  }

  // Where a whole expression may end: the end of the text, or of its line.
  bool at_expression_end() {
    if (token_.kind == TokenKind::kNewline) lexer_.finish();
    return token_.kind == TokenKind::kNewline || token_.kind == TokenKind::kEnd;
  }

  // Back to the start of the text, for the second read.
  void restart() {
    lexer_.restart();
    lexer_.start();
    token_ = Token{};
    previous_end_ = 0;
    depth_ = 0;
    advance();
  }

  // ------------------------------------------------------------ displays

  class TupleBuilder {
   public:
    TupleBuilder(Parser& parser, std::size_t begin) : parser_(parser) {
      item_.shape = Shape::kTuple;
      item_.begin = begin;
      item_.value = Value(Value::value_t::array);
      item_.assignable = true;
    }
    // Elements Value cannot hold wait in the tuple, which may yet be a dict key.
    void add(Item&& element) {
      if (item_.unhashable == nullptr) item_.unhashable = element.unhashable;
      item_.assignable = item_.assignable && element.assignable;
      const bool tuple = element.shape == Shape::kTuple;
      const char* held = tuple ? element.held_in_tuple : unheld_kind(element);
      const bool can_wait = tuple || (held != nullptr && held_back_value(element).has_value());
      if (can_wait && item_.held_in_tuple == nullptr) item_.held_in_tuple = held;
      parser_.keep(elements(), can_wait ? parser_.convert_key(std::move(element))
                                        : parser_.convert(std::move(element)));
    }
    Item finish(std::size_t end) {
      item_.end = end;
      return std::move(item_);
    }

   private:
    Value::array_t& elements() { return item_.value.get_ref<Value::array_t&>(); }

    Parser& parser_;
    Item item_;
  };

  Item parse_parenthesized() {
    const std::size_t begin = token_.begin;
    advance();  // (
    if (accept_operator(")")) {
      Item empty = other(begin);
      empty.shape = Shape::kTuple;
      empty.value = Value(Value::value_t::array);
      empty.assignable = true;
      return empty;
    }
    if (at_keyword(Keyword::kYield)) {
      parse_yield();
      expect_operator(")");
      return other(begin);
    }
    const bool starred = at_operator("*");
    Item first = parse_star_named_expression();
    if (at_comprehension()) {
      if (starred) fail_here("iterable unpacking cannot be used in comprehension");
      parse_comprehension_clauses();
      expect_operator(")");
      return other(begin);
    }
    if (!at_operator(",")) {
      if (starred) fail_here("cannot use starred expression here");
      expect_operator(")");
      return first;  // parentheses alone make no new expression
    }
    TupleBuilder tuple(*this, begin);
    tuple.add(std::move(first));
    while (accept_operator(",") && !at_operator(")")) tuple.add(parse_star_named_expression());
    expect_operator(")");
    return tuple.finish(previous_end_);
  }

  void parse_yield() {
    advance();  // yield
    if (accept_keyword(Keyword::kFrom)) {
      parse_expression();
      return;
    }
    while (at_expression_start() || at_operator("*")) {
      parse_star_named_expression();
      if (!accept_operator(",")) break;
    }
  }

  Item parse_list() {
    const std::size_t begin = token_.begin;
    advance();  // [
    Item list = other(begin);
    list.shape = Shape::kList;
    list.unhashable = "list";
    list.value = Value(Value::value_t::array);
    list.assignable = true;
    if (accept_operator("]")) {
      list.end = previous_end_;
      return list;
    }
    auto& elements = list.value.get_ref<Value::array_t&>();
    elements.reserve(kTypicalMembers);
    const bool starred = at_operator("*");
    Item first = parse_star_named_expression();
    if (at_comprehension()) {
      if (starred) fail_here("iterable unpacking cannot be used in comprehension");
      parse_comprehension_clauses();
      expect_operator("]");
      return other(begin);
    }
    list.assignable = first.assignable;
    keep(elements, convert(std::move(first)));
    std::string text;
    while (accept_operator(",") && !at_operator("]")) {
      if (take_lone_text(text)) {
        list.assignable = false;
        keep(elements, Value(std::move(text)));
        continue;
      }
      Item element = parse_star_named_expression();
      list.assignable = list.assignable && element.assignable;
      keep(elements, convert(std::move(element)));
    }
    expect_operator("]");
    list.end = previous_end_;
    return list;
  }

  // Python's set: first occurrences kept in order, equal values (1, 1.0, True) dropped.
  class SetBuilder {
   public:
    SetBuilder(Parser& parser, std::size_t begin) : parser_(parser) {
      item_.shape = Shape::kSet;
      item_.begin = begin;
      item_.unhashable = "set";
      item_.value = Value(Value::value_t::array);
    }
    void add(Item&& element) {
      const char* unhashable = unhashable_type(element);
      const std::size_t begin = element.begin;
      Value value = parser_.convert(std::move(element));
      if (unhashable != nullptr) return parser_.record_unhashable(unhashable, begin);
      if (parser_.has_fault() || !parser_.building_) return;  // the value is lost anyway
      if (seen_.insert(canonical(value)).second) {
        if (parser_.budget_ != nullptr) parser_.budget_->charge_element(value);
        item_.value.get_ref<Value::array_t&>().push_back(std::move(value));
      }
    }
    Item finish(std::size_t end) {
      item_.end = end;
      return std::move(item_);
    }

   private:
    Parser& parser_;
    Item item_;
    std::unordered_set<std::string> seen_;
  };

  // A dict keeps the first position of a repeated key and its last value. Keys that are not
  // text are stored under their repr; one that meets a text key of the same spelling cannot be
  // held and is reported.
  class DictBuilder {
   public:
    DictBuilder(Parser& parser, std::size_t begin) : parser_(parser) {
      item_.shape = Shape::kDict;
      item_.begin = begin;
      item_.unhashable = "dict";
      item_.value = Value(Value::value_t::object);
      entries().reserve(kTypicalMembers);
    }

    void add(Item&& key, Item&& value) {
      const std::size_t key_begin = key.begin;
      const std::size_t key_end = key.end;
      const char* unhashable = unhashable_type(key);
      if (key.shape == Shape::kText) {  // the common case, kept free of a Value
        return add_text_member(std::move(key.text), parser_.convert(std::move(value)), key_begin,
                               key_end);
      }
      Value key_value = parser_.convert_key(std::move(key));
      Value converted = parser_.convert(std::move(value));
      if (unhashable != nullptr) return parser_.record_unhashable(unhashable, key_begin);
      if (parser_.has_fault() || !parser_.building_) return;
      add_other_key(key_value, std::move(converted), key_begin, key_end);
    }

    // A member under the text key that spans [begin, end), its value converted.
    void add_text_member(std::string&& key, Value&& value, std::size_t begin, std::size_t end) {
      if (parser_.has_fault() || !parser_.building_) return;
      add_text_key(std::move(key), std::move(value), begin, end);
    }

    void add_unpacking(std::size_t begin) { parser_.record_not_literal(parser_.other(begin)); }

    Item finish(std::size_t end) {
      item_.end = end;
      return std::move(item_);
    }

    // The mapping alone, for the plain read, which needs no Item.
    Value take_value() { return std::move(item_.value); }

   private:
    using Entries = Value::object_t::Container;

    Entries& entries() { return item_.value.get_ref<Value::object_t&>(); }

    std::optional<std::size_t> find_text(const std::string& key) {
      constexpr std::size_t kLinearLimit = 16;
      Entries& e = entries();
      if (e.size() <= kLinearLimit) {
        for (std::size_t i = 0; i < e.size(); ++i) {
          if (e[i].first == key) return i;
        }
        return std::nullopt;
      }
      if (by_text_.empty()) {
        for (std::size_t i = 0; i < e.size(); ++i) by_text_.emplace(e[i].first, i);
      }
      const auto it = by_text_.find(key);
      if (it == by_text_.end()) return std::nullopt;
      return it->second;
    }

    void append(std::string&& key, Value&& value, bool text_key) {
      if (parser_.budget_ != nullptr) parser_.budget_->charge_member(key.size(), value);
      Entries& e = entries();
      if (!by_text_.empty()) by_text_.emplace(key, e.size());
      if (!text_key) other_keyed_.push_back(e.size());
      e.emplace_back(std::move(key), std::move(value));
    }

    void report_collision(std::size_t begin, std::size_t end) {
      Item probe;
      probe.begin = begin;
      probe.end = end;
      parser_.record_unrepresentable(probe, "a key whose repr is also a text key");
    }

    void add_text_key(std::string&& key, Value&& value, std::size_t begin, std::size_t end) {
      if (const auto index = find_text(key)) {
        if (std::binary_search(other_keyed_.begin(), other_keyed_.end(), *index)) {
          return report_collision(begin, end);
        }
        entries()[*index].second = std::move(value);
        return;
      }
      append(std::move(key), std::move(value), true);
    }

    void add_other_key(const Value& key, Value&& value, std::size_t begin, std::size_t end) {
      std::string form = canonical(key);
      if (const auto it = by_canonical_.find(form); it != by_canonical_.end()) {
        entries()[it->second].second = std::move(value);
        return;
      }
      std::string text;
      append_key_repr(text, key);
      if (const auto index = find_text(text)) return report_collision(begin, end);
      by_canonical_.emplace(std::move(form), entries().size());
      append(std::move(text), std::move(value), false);
    }

    Parser& parser_;
    Item item_;
    std::vector<std::size_t> other_keyed_;  // entries whose key is a repr, in order
    std::unordered_map<std::string, std::size_t> by_text_;
    std::unordered_map<std::string, std::size_t> by_canonical_;
  };

  Item parse_braces() {
    const std::size_t begin = token_.begin;
    advance();  // {
    if (accept_operator("}")) {
      DictBuilder empty(*this, begin);
      return empty.finish(previous_end_);
    }
    if (at_operator("**")) return parse_dict(begin, std::nullopt);
    if (at_operator("*")) return parse_set(begin, parse_star_named_expression(), true);
    Item first = parse_expression();
    if (at_operator(":")) return parse_dict(begin, std::move(first));
    return parse_set(begin, finish_named_expression(std::move(first)), false);
  }

  Item parse_set(std::size_t begin, Item&& first, bool starred) {
    if (at_comprehension()) {
      if (starred) fail_here("iterable unpacking cannot be used in comprehension");
      parse_comprehension_clauses();
      expect_operator("}");
      return other(begin);
    }
    SetBuilder set(*this, begin);
    set.add(std::move(first));
    while (accept_operator(",") && !at_operator("}")) set.add(parse_star_named_expression());
    expect_operator("}");
    return set.finish(previous_end_);
  }

  Item parse_dict(std::size_t begin, std::optional<Item> first_key) {
    DictBuilder dict(*this, begin);
    bool first = true;
    std::string text;
    do {
      if (at_operator("}")) break;
      if (!first || !first_key) {
        if (at_operator("**")) {
          const std::size_t unpack = token_.begin;
          advance();
          parse_binary(kBitOrPrecedence);
          if (first && at_comprehension())
            fail_here("dict unpacking cannot be used in comprehension");
          dict.add_unpacking(unpack);
          first = false;
          continue;
        }
        const std::size_t key_begin = token_.begin;
        if (!first && take_lone_text(text)) {  // no comprehension can follow a later member
          const std::size_t key_end = previous_end_;
          std::string key = std::move(text);
          expect_operator(":");
          dict.add_text_member(std::move(key), element_value(text), key_begin, key_end);
          continue;
        }
        first_key = parse_expression();
      }
      expect_operator(":");
      Item value = parse_expression();
      if (first && at_comprehension()) {
        parse_comprehension_clauses();
        expect_operator("}");
        return other(begin);
      }
      dict.add(std::move(*first_key), std::move(value));
      first_key.reset();
      first = false;
    } while (accept_operator(","));
    expect_operator("}");
    return dict.finish(previous_end_);
  }

  // The converted value of the expression at hand, a lone text read through `text`.
  Value element_value(std::string& text) {
    if (take_lone_text(text)) return Value(std::move(text));
    return convert(parse_expression());
  }

  void keep(Value::array_t& elements, Value&& element) {
    if (!building_) return;
    if (budget_ != nullptr) budget_->charge_element(element);
    elements.push_back(std::move(element));
  }

  Lexer lexer_;
  const bool building_;
  core::internal::BuildBudget* budget_;
  Token token_;
  std::size_t previous_end_ = 0;
  int depth_ = 0;
  bool refused_ = false;  // the plain read stopped at a name no literal holds
  bool error_is_type_ = false;
  std::string error_message_;
  std::size_t error_offset_ = 0;
  std::string unrepresentable_;
};

}  // namespace

namespace core::internal {

PlainLiteral read_plain_literal(std::string_view text, Value& out) {
  // A long text is built within a budget, which only literal_eval keeps.
  if (BuildBudget::needed_for(text)) return PlainLiteral::kUnsure;
  return Parser(text, true).parse_plain(out);
}

}  // namespace core::internal

Value literal_eval(std::string_view text) {
  return core::internal::build_within_budget(
      text, [text](bool building, core::internal::BuildBudget* budget) {
        return Parser(text, building, budget).parse();
      });
}

}  // namespace tavrin
