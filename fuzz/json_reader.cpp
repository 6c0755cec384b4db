// The store's JSON reader against nlohmann's parser, on any text: what the reader accepts,
// nlohmann must accept with the same events; what the reader refuses, nlohmann must refuse too,
// but for what the reader refuses on purpose (nesting beyond its limit, an integer beyond
// 64 bits, which nlohmann rounds to a double, a number that rounds to zero, a byte order mark,
// a 0 byte after the value, where nlohmann takes the text to end).
// Any other difference, an exception other than JsonError, or a sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "tavrin/core/value.hpp"
#include "tavrin/vectorstore/internal/json_reader.hpp"
#include "tests/support/json_trace.hpp"

namespace {

using tavrin::vectorstore::internal::JsonFault;

// nlohmann's events in the same trace.
struct NlohmannTrace : tavrin::testing::JsonTrace {
  bool null() { return JsonTrace::null(), true; }
  bool boolean(bool b) { return JsonTrace::boolean(b), true; }
  bool number_integer(std::int64_t n) { return JsonTrace::number_integer(n), true; }
  bool number_unsigned(std::uint64_t n) { return JsonTrace::number_unsigned(n), true; }
  bool number_float(double d, const std::string&) { return JsonTrace::number_float(d), true; }
  bool string(std::string& s) { return JsonTrace::string(s), true; }
  bool binary(tavrin::Value::binary_t&) { return false; }
  bool key(std::string& s) { return JsonTrace::key(s), true; }
  bool start_object(std::size_t) { return JsonTrace::start_object(), true; }
  bool end_object() { return JsonTrace::end_object(), true; }
  bool start_array(std::size_t) { return JsonTrace::start_array(), true; }
  bool end_array() { return JsonTrace::end_array(), true; }
  bool parse_error(std::size_t, const std::string&, const tavrin::Value::exception&) {
    return false;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tavrin::testing::JsonTrace ours;
  std::optional<JsonFault> fault;
  try {
    tavrin::vectorstore::internal::read_json(text, ours, 64);
  } catch (const tavrin::vectorstore::internal::JsonError& e) {
    fault = e.fault;
  }
  NlohmannTrace theirs;
  const bool accepted = tavrin::Value::sax_parse(text.begin(), text.end(), &theirs);
  if (!fault) {
    if (!accepted || theirs.events != ours.events) std::abort();
  } else if (accepted) {
    // nlohmann takes a 0 byte for the end of the text, and reads no further.
    const bool on_purpose = *fault == JsonFault::kTooDeep ||
                            *fault == JsonFault::kIntegerBeyond64Bits ||
                            *fault == JsonFault::kNumberBeyondDouble ||
                            (*fault == JsonFault::kSyntax && text.starts_with("\xEF\xBB\xBF")) ||
                            text.find('\0') != std::string_view::npos;
    if (!on_purpose) std::abort();
  }
  return 0;
}
