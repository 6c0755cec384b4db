#include "tavrin/palisk.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string_view>

#include "quellin/quellin.hpp"
#include "tavrin/core/check.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/block_scan.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/core/literal.hpp"
#include "tavrin/internal/reply_scan.hpp"

namespace tavrin::palisk {

namespace {

constexpr std::string_view kJson = "application/json";

bool is_none(const std::optional<Value>& v) { return !v.has_value() || v->is_null(); }

Value user_messages(std::string prompt) {
  Value message = Value::object();
  message["role"] = "user";
  message["content"] = std::move(prompt);
  return Value::array({std::move(message)});
}

std::string bearer(std::string_view key) { return "Bearer " + std::string(key); }

// Writes a text without its fences and blanks, a block at a time; see
// without_fences_and_blanks.
class FenceAndBlankRemover {
 public:
  explicit FenceAndBlankRemover(char* to) : to_(to) {}

  // Takes the blocks of `text` while two are left, so that each run between blanks is copied
  // with one 16-byte store; returns how many bytes it took.
  std::size_t take_blocks(std::string_view text) {
    using core::internal::block_marks;
    using core::internal::kBlockBytes;
    std::size_t i = 0;
    while (text.size() - i >= 2 * kBlockBytes) {
      const char* const block = text.data() + i;
      if (block_marks(block, '`', '`') != 0) {
        i += take_byte(text, i);
        continue;
      }
      write_backticks();     // the block's first byte ends any run
      std::size_t done = 0;  // bytes of the block taken
      for (std::uint32_t blanks = block_marks(block, ' ', '\n'); blanks != 0;
           blanks &= blanks - 1) {
        const auto blank = static_cast<std::size_t>(std::countr_zero(blanks));
        std::memcpy(to_, block + done, kBlockBytes);
        to_ += blank - done;
        done = blank + 1;
      }
      std::memcpy(to_, block + done, kBlockBytes);
      to_ += kBlockBytes - done;
      i += kBlockBytes;
    }
    return i;
  }

  // Where the text written ends, once the last run of backticks is written.
  char* finish() {
    write_backticks();
    return to_;
  }

 private:
  void write_backticks() {
    for (; backticks_ > 0; --backticks_) *to_++ = '`';
  }

  // Takes text[i], and "```json" when it starts there; returns how many bytes.
  std::size_t take_byte(std::string_view text, std::size_t i) {
    const char c = text[i];
    if (c != '`') {
      write_backticks();
      if (c != ' ' && c != '\n') *to_++ = c;
    } else if (text.substr(i, 7) == "```json") {
      return 7;
    } else {
      backticks_ = (backticks_ + 1) % 3;
    }
    return 1;
  }

  char* to_;
  int backticks_ = 0;  // of a run not yet written
};

// `response` as Python's response.replace("```json", "").replace("```", "").replace("\n", "")
// .replace(" ", "") leaves it, in one pass: "```json" is removed left to right; of each run of
// the backticks that remain, whole threes go, which is the second removal; the third and the
// fourth take single bytes and cannot make or break an occurrence of the earlier ones, but a
// blank does end a run of backticks. The last bytes, padded to more than two blocks with NULs
// that are then cut off, take the same road as the others.
std::string without_fences_and_blanks(std::string_view response) {
  using core::internal::kBlockBytes;
  // Room for the padding taken and a last store of a whole block.
  std::string out(response.size() + 2 * kBlockBytes, '\0');
  FenceAndBlankRemover remover(out.data());
  const std::size_t taken = remover.take_blocks(response);
  const std::size_t rest = response.size() - taken;
  std::array<char, 4 * kBlockBytes> last{};
  std::copy(response.begin() + static_cast<std::ptrdiff_t>(taken), response.end(), last.begin());
  const std::size_t padding = remover.take_blocks({last.data(), rest + 2 * kBlockBytes}) - rest;
  out.resize(static_cast<std::size_t>(remover.finish() - out.data()) - padding);
  return out;
}

// One step of the walk to the answer text: `holder[key]`, where holder must be a mapping.
const Value& entry(const Value& holder, std::string_view holder_name, const char* key) {
  if (!holder.is_object()) {
    throw TypeError("cannot read \"" + std::string(key) + "\" from " + std::string(holder_name) +
                    ": it is " + std::string(kind_name(holder)) + ", not a mapping");
  }
  const auto found = holder.find(key);
  if (found == holder.end()) {
    throw KeyError(std::string(holder_name) + " has no key \"" + key + "\"");
  }
  return *found;
}

const Value& first_choice(const Value& choices) {
  if (!choices.is_array()) {
    throw TypeError("cannot take element 0 of \"choices\": it is " +
                    std::string(kind_name(choices)) + ", not a list");
  }
  if (choices.empty()) throw IndexError("\"choices\" is an empty list");
  return choices.front();
}

Value parse_json_answer(const Value& res) {
  if (!res.is_string()) {
    throw TypeError("the answer must be text to parse as JSON, not " + std::string(kind_name(res)));
  }
  Value parsed = json_loads(res.get_ref<const std::string&>());
  if (!parsed.is_object() && !parsed.is_null()) {
    throw TypeError("the answer must be a JSON object or null, not " +
                    std::string(kind_name(parsed)));
  }
  return parsed;
}

}  // namespace

namespace internal {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_word_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_word_char(char c) { return is_word_start(c) || is_digit(c); }
bool is_quote(char c) { return c == '\'' || c == '"'; }

bool is_string_prefix(std::string_view word) {
  std::string lower(word);
  for (char& c : lower) c = static_cast<char>(c | 0x20);
  for (std::string_view prefix : {"r", "u", "b", "f", "br", "rb", "fr", "rf"}) {
    if (lower == prefix) return true;
  }
  return false;
}

// The bytes that cannot end a string literal: all but the quotes and the backslash.
constexpr std::array<bool, 256> kInsideString = [] {
  std::array<bool, 256> inside{};
  inside.fill(true);
  inside['\''] = inside['"'] = inside['\\'] = false;
  return inside;
}();

// Just past the string literal that opens at text[quote] (one or three quote characters; a
// backslash always escapes the next character), or npos when it does not end.
std::size_t skip_string(std::string_view text, std::size_t quote) {
  const char q = text[quote];
  const bool is_triple = text.size() - quote >= 3 && text[quote + 1] == q && text[quote + 2] == q;
  const std::size_t closer = is_triple ? 3 : 1;
  std::size_t i = quote + closer;
  for (;;) {
    while (i < text.size() && kInsideString[static_cast<unsigned char>(text[i])]) ++i;
    if (i >= text.size()) return std::string_view::npos;
    if (text[i] == '\\') {
      i += 2;
    } else if (text[i] == q &&
               (!is_triple || (i + 2 < text.size() && text[i + 1] == q && text[i + 2] == q))) {
      return i + closer;
    } else {
      ++i;
    }
  }
}

// Just past a number and any letters stuck to it (0x1F, 1e-5, 1_000, 2j, 1if).
std::size_t skip_number(std::string_view text, std::size_t i) {
  for (++i; i < text.size(); ++i) {
    const char c = text[i];
    const bool exponent_sign = (c == '+' || c == '-') && (text[i - 1] | 0x20) == 'e';
    if (!is_word_char(c) && c != '.' && !exponent_sign) break;
  }
  return i;
}

// Whether the name that starts at `i` is followed by an opening parenthesis.
bool is_call_ahead(std::string_view text, std::size_t i) {
  while (i < text.size() &&
         (static_cast<unsigned char>(text[i]) >= 0x80 || is_word_char(text[i]))) {
    ++i;
  }
  i = text.find_first_not_of(" \t\f\r", i);
  return i != std::string_view::npos && text[i] == '(';
}

// What the pre-scan does at a byte outside strings and comments.
enum class ScanStart : std::uint8_t { kPass, kNonAscii, kComment, kQuote, kDigit, kDot, kWord };

constexpr std::array<ScanStart, 256> kScanStart = [] {
  std::array<ScanStart, 256> start{};  // kPass: an operator, a blank, a bracket
  for (int c = 0x80; c < 0x100; ++c) start[c] = ScanStart::kNonAscii;
  start['#'] = ScanStart::kComment;
  start['\''] = start['"'] = ScanStart::kQuote;
  for (int c = '0'; c <= '9'; ++c) start[c] = ScanStart::kDigit;
  start['.'] = ScanStart::kDot;
  for (int c = 'a'; c <= 'z'; ++c) start[c] = start[c - 'a' + 'A'] = ScanStart::kWord;
  start['_'] = ScanStart::kWord;
  return start;
}();

}  // namespace

bool may_be_literal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    switch (kScanStart[static_cast<unsigned char>(text[i])]) {
      case ScanStart::kPass:
        ++i;
        break;
      case ScanStart::kNonAscii:
        // Outside strings, non-ASCII text can only be a name; the one name a literal may hold
        // is a call of set, which the parser recognises under NFKC folding (ｓｅｔ()).
        return is_call_ahead(text, i);
      case ScanStart::kComment:  // runs to the end of its line
        i = text.find_first_of("\r\n", i);
        break;
      case ScanStart::kQuote:
        i = skip_string(text, i);
        break;
      case ScanStart::kDot:
        if (i + 1 >= text.size() || !is_digit(text[i + 1])) {
          ++i;
          break;
        }
        [[fallthrough]];
      case ScanStart::kDigit:
        i = skip_number(text, i);
        break;
      case ScanStart::kWord: {
        const std::size_t begin = i;
        while (i < text.size() && is_word_char(text[i])) ++i;
        const std::string_view word = text.substr(begin, i - begin);
        if (i < text.size() && is_quote(text[i]) && is_string_prefix(word)) {
          i = skip_string(text, i);
        } else if (word != "True" && word != "False" && word != "None" && word != "set") {
          return false;
        }
        break;
      }
    }
  }
  return true;
}

bool may_be_json(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\n\r");
  return first != std::string_view::npos &&
         std::string_view("{[\"-0123456789tfnNI").find(text[first]) != std::string_view::npos;
}

}  // namespace internal

Value chat_payload(std::string model, std::string prompt, Value temperature) {
  Value payload = Value::object();
  payload["model"] = std::move(model);
  payload["messages"] = user_messages(std::move(prompt));
  payload["temperature"] = std::move(temperature);
  return payload;
}

Value chat_headers(std::string_view key) {
  Value headers = Value::object();
  headers["Content-Type"] = kJson;
  headers["Authorization"] = bearer(key);
  return headers;
}

// raw_res["choices"][0]["message"]["content"]
const Value& answer_text(const Value& raw_res) {
  const Value& choice = first_choice(entry(raw_res, "the reply", "choices"));
  const Value& message = entry(choice, "\"choices\"[0]", "message");
  return entry(message, "\"message\"", "content");
}

boost::asio::awaitable<Value> chat(std::string prompt, std::string url, std::string key,
                                   std::string model_name, double temper,
                                   std::optional<Value> headers, std::optional<Value> payload) {
  Value sent_payload = is_none(payload)
                           ? chat_payload(std::move(model_name), std::move(prompt), temper)
                           : std::move(*payload);
  Value sent_headers = is_none(headers) ? chat_headers(key) : std::move(*headers);
  co_return co_await quellin::async_call_api(std::move(url), std::move(sent_headers),
                                             std::move(sent_payload));
}

Value llm_postprocess(const std::string& response) {
  std::string processed_response = without_fences_and_blanks(response);
  // The parsers' failures are fall-backs, whatever their kind. A parser that certainly refuses
  // the text is not asked: the result is the same, without the cost of an exception.
  if (internal::may_be_literal(processed_response)) {
    try {
      return literal_eval(processed_response);
    } catch (const std::exception&) {
    }
  }
  if (internal::may_be_json(processed_response)) {
    try {
      return json_loads(processed_response);
    } catch (const std::exception&) {
    }
  }
  return processed_response;
}

boost::asio::awaitable<Value> llm_response(std::string base_url, std::string base_key,
                                           std::string prompt, std::string llm_name, bool is_json) {
  Value payload = chat_payload(std::move(llm_name), std::move(prompt), 1);
  Value headers = Value::object();
  headers["Authorization"] = bearer(base_key);
  headers["Content-Type"] = kJson;
  const Value raw_res =
      co_await quellin::async_call_api(std::move(base_url), std::move(headers), std::move(payload));
  const Value& res = answer_text(raw_res);
  if (!is_json) co_return res;
  co_return parse_json_answer(res);
}

}  // namespace tavrin::palisk
