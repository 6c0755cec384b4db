#include "tavrin/palisk.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <string_view>

#include "quellin/quellin.hpp"
#include "tavrin/core/check.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/block_scan.hpp"
#include "tavrin/core/internal/literal_scan.hpp"
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
  // with one 16-byte store; returns how many bytes it took. A block is taken up to its first
  // backtick, where the bytes are taken one at a time.
  std::size_t take_blocks(std::string_view text) {
    using core::internal::block_marks;
    using core::internal::kBlockBytes;
    std::size_t i = 0;
    while (text.size() - i >= 2 * kBlockBytes) {
      const char* const block = text.data() + i;
      const std::uint32_t backticks = block_marks(block, '`', '`');
      const auto run =
          backticks == 0 ? kBlockBytes : static_cast<std::size_t>(std::countr_zero(backticks));
      if (run == 0) {
        i += take_byte(text, i);
        continue;
      }
      take_run(block, run);
      i += run;
    }
    return i;
  }

  // Where the text written ends, once the last run of backticks is written.
  char* finish() {
    write_backticks();
    return to_;
  }

 private:
  // Takes the first `run` bytes of `block` (at most a block, no backtick among them), which has
  // a block more after it to read.
  void take_run(const char* block, std::size_t run) {
    using core::internal::block_marks;
    using core::internal::kBlockBytes;
    write_backticks();     // the run's first byte ends any run of backticks
    std::size_t done = 0;  // bytes of the run taken
    const std::uint32_t in_run = (std::uint32_t{1} << run) - 1;
    for (std::uint32_t blanks = block_marks(block, ' ', '\n') & in_run; blanks != 0;
         blanks &= blanks - 1) {
      const auto blank = static_cast<std::size_t>(std::countr_zero(blanks));
      std::memcpy(to_, block + done, kBlockBytes);
      to_ += blank - done;
      done = blank + 1;
    }
    std::memcpy(to_, block + done, kBlockBytes);
    to_ += run - done;
  }

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

// The room the cleaning needs beyond the response: the padding taken and a last store of a
// whole block.
constexpr std::size_t kCleaningRoom = 2 * core::internal::kBlockBytes;

// `response` as Python's response.replace("```json", "").replace("```", "").replace("\n", "")
// .replace(" ", "") leaves it, in one pass: "```json" is removed left to right; of each run of
// the backticks that remain, whole threes go, which is the second removal; the third and the
// fourth take single bytes and cannot make or break an occurrence of the earlier ones, but a
// blank does end a run of backticks. The last bytes, padded to more than two blocks with NULs
// that are then cut off, take the same road as the others. Writes to `out`, which has room
// for kCleaningRoom more bytes than the response, and returns what it wrote.
std::string_view without_fences_and_blanks(std::string_view response, char* out) {
  using core::internal::kBlockBytes;
  FenceAndBlankRemover remover(out);
  const std::size_t taken = remover.take_blocks(response);
  const std::size_t rest = response.size() - taken;
  std::array<char, 4 * kBlockBytes> last{};
  std::copy(response.begin() + static_cast<std::ptrdiff_t>(taken), response.end(), last.begin());
  const std::size_t padding = remover.take_blocks({last.data(), rest + 2 * kBlockBytes}) - rest;
  return {out, static_cast<std::size_t>(remover.finish() - out) - padding};
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

// Whether `text` opens a display and holds none of JSON's words, so that literal_eval's plain
// read most likely takes it whole: a text with them is better scanned first, as the read
// would stop at them only after building what came before.
bool is_plain_display(std::string_view text) {
  return !text.empty() && (text[0] == '{' || text[0] == '[') &&
         text.find("true") == std::string_view::npos &&
         text.find("false") == std::string_view::npos &&
         text.find("null") == std::string_view::npos;
}

// literal_eval of `text`, or nothing when it refuses the text. Its refusals (SyntaxError,
// ValueError, TypeError) are fall-backs; anything else, such as running out of memory, is not
// a refusal and goes on to the caller. A text that certainly is no literal is not parsed: the
// result is the same, without the cost of an exception.
std::optional<Value> literal_value(std::string_view text) {
  using core::internal::PlainLiteral;
  try {
    if (is_plain_display(text)) {
      Value value;
      const PlainLiteral plain = core::internal::read_plain_literal(text, value);
      if (plain == PlainLiteral::kValue) return value;
      if (plain == PlainLiteral::kRefused) return std::nullopt;
    }
    if (core::internal::may_be_literal(text)) return literal_eval(text);
  } catch (const SyntaxError&) {
  } catch (const ValueError&) {
  } catch (const TypeError&) {
  }
  return std::nullopt;
}

}  // namespace

namespace internal {

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
const Value& answer_text(const Value& reply) {
  const Value& choice = first_choice(entry(reply, "the reply", "choices"));
  const Value& message = entry(choice, "\"choices\"[0]", "message");
  return entry(message, "\"message\"", "content");
}

std::string answer_string(const Value& reply) {
  const Value& answer = answer_text(reply);
  if (!answer.is_string()) {
    throw TypeError(std::string("the reply's answer is ") + answer.type_name() + ", not text");
  }
  return answer.get<std::string>();
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
  // A reply of the usual size is cleaned on the stack: the parsers read it in place, and it is
  // copied only when the text itself is the result.
  constexpr std::size_t kStackRoom = 1024;
  std::array<char, kStackRoom> stack_room;  // written before it is read
  std::string heap_room;
  char* room = stack_room.data();
  if (response.size() + kCleaningRoom > kStackRoom) {
    heap_room.resize(response.size() + kCleaningRoom);
    room = heap_room.data();
  }
  const std::string_view processed_response = without_fences_and_blanks(response, room);
  if (std::optional<Value> literal = literal_value(processed_response)) return std::move(*literal);
  if (internal::may_be_json(processed_response)) {
    try {
      return json_loads(processed_response);
    } catch (const ValueError&) {
    }
  }
  if (heap_room.empty()) return std::string(processed_response);
  heap_room.resize(processed_response.size());  // a large reply is not copied again
  return heap_room;
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
