#include "tavrin/core/internal/literal_scan.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "tavrin/core/internal/build_budget.hpp"
#include "tavrin/core/internal/literal_reader.hpp"
#include "tavrin/core/internal/literal_strings.hpp"

// The usual reply is a dict or list of texts, numbers, True, False, None and displays of them.
// Such an element is read straight from its tokens into its value, without the Items and
// grammar levels that an arbitrary expression needs. Anything else makes the read give up
// where it stands, and the whole grammar reads the text again from its start: the tokens read
// so far are a valid start of an expression there, so every fault is found by that second
// read, in the same place. (With a budget, the second read may find it spent sooner; that only
// sends the text down the road of checking before building.)

namespace tavrin::core::internal {
namespace literal {
namespace {

class PlainReader : TokenReader {
 public:
  PlainReader(std::string_view text, BuildBudget* budget) : TokenReader(text), budget_(budget) {}

  PlainLiteral read_text(Value& out) {
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
  // `read` is cleared when the element is no plain one; the value is built in its place.
  Value read_plain_element(bool& read) {
    switch (token_.kind) {
      case TokenKind::kString: {
        if (token_.prefix.bytes || token_.prefix.formatted) break;
        Value text(string_value(lexer_, token_));
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
    const std::string_view text = text_of(token_);
    advance();
    Number number;
    const bool imaginary = read_number(text, number);
    if (!imaginary && negative) negate(number);
    read = !imaginary && !number.out_of_range;
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
    DictMembers dict(budget_);
    advance();  // {
    while (!at_operator("}")) {
      if (token_.kind != TokenKind::kString || token_.prefix.bytes || token_.prefix.formatted) {
        read = false;
        return Value();
      }
      std::string key = string_value(lexer_, token_);
      advance();
      read = accept_operator(":");
      if (!read) return Value();
      Value value = read_plain_element(read);
      if (!read) return Value();
      dict.add_text_key(std::move(key), std::move(value));  // every key is text: none is refused
      if (!accept_operator(",")) break;
    }
    read = accept_operator("}");
    return dict.take();
  }

  Value read_plain_list(bool& read) {
    advance();  // [
    Value list(Value::value_t::array);
    auto& elements = list.get_ref<Value::array_t&>();
    while (!at_operator("]")) {
      Value element = read_plain_element(read);
      if (!read) return Value();
      keep_element(elements, std::move(element), budget_);
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

  BuildBudget* budget_;
  bool refused_ = false;  // the read stopped at a name no literal holds
};

}  // namespace

PlainLiteral read_plain(std::string_view text, BuildBudget* budget, Value& out) {
  return PlainReader(text, budget).read_text(out);
}

}  // namespace literal

PlainLiteral read_plain_literal(std::string_view text, Value& out) {
  // A long text is built within a budget, which only literal_eval keeps.
  if (BuildBudget::needed_for(text)) return PlainLiteral::kUnsure;
  return literal::read_plain(text, nullptr, out);
}

}  // namespace tavrin::core::internal
