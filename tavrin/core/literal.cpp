#include "tavrin/core/literal.hpp"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/build_budget.hpp"
#include "tavrin/core/internal/literal_lexer.hpp"
#include "tavrin/core/internal/literal_reader.hpp"
#include "tavrin/core/internal/literal_scan.hpp"
#include "tavrin/core/internal/literal_strings.hpp"
#include "tavrin/core/internal/literal_values.hpp"

// The parser reads the whole expression grammar, so that a text that is no expression at all
// (SyntaxError) is told apart from an expression that is not a literal (ValueError), and builds
// the Value of each literal in the same pass. Like Python, it first requires the whole text to
// parse; of the faults found while converting, the first in reading order wins, and a fault
// inside an expression that is not a literal is reported as that expression not being one.
//
// literal_eval first tries the plain read of the usual reply (literal_plain.cpp), and reads
// with this parser only a text that the plain read gives up on; string and bytes literals are
// decoded in literal_strings.cpp.

namespace tavrin {
namespace {

using namespace core::internal::literal;
using core::internal::quote;

// Nesting without brackets (lambda in lambda) also recurses; bound it as well.
constexpr int kMaxExpressionDepth = 2 * kMaxBrackets;

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

// What the parser knows of an expression: enough of its syntax tree to decide whether it is a
// literal, and its value when it is one. The value of every shape is the Number's `value`; its
// `text` also holds the text of a kText until it becomes a Value.
struct Item : Number {
  Shape shape = Shape::kOther;
  std::size_t begin = 0;                // offset of the expression's first character
  std::size_t end = 0;                  // offset just past its last character
  bool is_set_name = false;             // kName `set`
  const char* unhashable = nullptr;     // the type Python names when hashing fails
  const char* held_in_tuple = nullptr;  // kTuple: what of its elements Value cannot hold
  bool assignable = false;              // a name, attribute, subscript, or a tuple or list of them
};

// ---------------------------------------------------------------- parser

class Parser : TokenReader {
 public:
  // `building` false: every fault is found, but no value is kept, save a dict key's repr
  // that meets a text key, which only building finds. With a `budget`, building gives up
  // (BuildBudget::Exceeded) once the value outgrows it.
  Parser(std::string_view text, bool building, core::internal::BuildBudget* budget = nullptr)
      : TokenReader(text), building_(building), budget_(budget) {}

  Value parse() {
    lexer_.start();
    advance();
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

 private:
  // ------------------------------------------------------------ token helpers

  bool at_keyword(Keyword k) const {
    return token_.kind == TokenKind::kName && token_.keyword == k;
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
    item.begin = token_.begin;
    advance();
    item.end = previous_end_;
    item.shape = read_number(text, item) ? Shape::kImaginary : Shape::kNumber;
    return item;
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
        check_format_string(lexer_, token_);
        formatted = true;
      } else {
        append_string_value(out, lexer_, token_);
      }
      if (bytes) check_bytes_ascii(lexer_, token_);
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
    append_string_value(out, lexer_, token_);
    advance();
    return true;
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
        keep_element(item_.value.get_ref<Value::array_t&>(), std::move(value), parser_.budget_);
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

  // A dict display. Its members are kept as DictMembers keeps them; a key whose repr meets a
  // text key of the same spelling cannot be held and is reported.
  class DictBuilder {
   public:
    DictBuilder(Parser& parser, std::size_t begin) : parser_(parser), members_(parser.budget_) {
      item_.shape = Shape::kDict;
      item_.begin = begin;
      item_.unhashable = "dict";
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
      if (!members_.add_other_key(key_value, std::move(converted))) {
        report_collision(key_begin, key_end);
      }
    }

    // A member under the text key that spans [begin, end), its value converted.
    void add_text_member(std::string&& key, Value&& value, std::size_t begin, std::size_t end) {
      if (parser_.has_fault() || !parser_.building_) return;
      if (!members_.add_text_key(std::move(key), std::move(value))) report_collision(begin, end);
    }

    void add_unpacking(std::size_t begin) { parser_.record_not_literal(parser_.other(begin)); }

    Item finish(std::size_t end) {
      item_.end = end;
      item_.value = members_.take();
      return std::move(item_);
    }

   private:
    void report_collision(std::size_t begin, std::size_t end) {
      Item probe;
      probe.begin = begin;
      probe.end = end;
      parser_.record_unrepresentable(probe, "a key whose repr is also a text key");
    }

    Parser& parser_;
    Item item_;
    DictMembers members_;
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
    if (building_) keep_element(elements, std::move(element), budget_);
  }

  const bool building_;
  core::internal::BuildBudget* budget_;
  int depth_ = 0;
  bool error_is_type_ = false;
  std::string error_message_;
  std::size_t error_offset_ = 0;
  std::string unrepresentable_;
};

}  // namespace

Value literal_eval(std::string_view text) {
  return core::internal::build_within_budget(
      text, [text](bool building, core::internal::BuildBudget* budget) {
        if (building) {
          Value plain;
          if (read_plain(text, budget, plain) == core::internal::PlainLiteral::kValue) {
            return plain;
          }
        }
        return Parser(text, building, budget).parse();
      });
}

}  // namespace tavrin
