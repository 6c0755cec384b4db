// llm_postprocess must turn any text into a value and never fail: an escaping exception or
// a sanitizer report is a finding. It skips a parser when a scan says the parser must refuse
// the text, and takes the value of the plain read of the literal parser; those claims are
// checked here against the parser itself on every input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/internal/literal_scan.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/core/literal.hpp"
#include "tavrin/internal/reply_scan.hpp"
#include "tavrin/palisk.hpp"

namespace {

template <class Parse>
void expect_refusal(Parse parse, const std::string& text) {
  try {
    parse(text);
  } catch (const std::exception&) {
    return;
  }
  std::abort();  // the scan skipped a parser that accepts this text
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  tavrin::palisk::llm_postprocess(text);
  tavrin::Value plain;
  try {
    const auto read = tavrin::core::internal::read_plain_literal(text, plain);
    if (read == tavrin::core::internal::PlainLiteral::kValue &&
        plain != tavrin::literal_eval(text)) {
      std::abort();  // the plain read gave another value
    }
    if (read == tavrin::core::internal::PlainLiteral::kRefused) {
      expect_refusal([](const std::string& t) { return tavrin::literal_eval(t); }, text);
    }
  } catch (const tavrin::SyntaxError&) {
    expect_refusal([](const std::string& t) { return tavrin::literal_eval(t); }, text);
  }
  if (!tavrin::core::internal::may_be_literal(text)) {
    expect_refusal([](const std::string& t) { return tavrin::literal_eval(t); }, text);
  }
  if (!tavrin::palisk::internal::may_be_json(text)) {
    expect_refusal([](const std::string& t) { return tavrin::json_loads(t); }, text);
  }
  return 0;
}
