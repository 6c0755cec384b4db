// literal_eval must either give a Value or throw one of tavrin's SyntaxError, ValueError or
// TypeError, whatever the text; and what it gives must read back from its repr unchanged
// (unless it holds inf or nan).
// Any other exception, a sanitizer report or a mismatch is a finding.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/literal.hpp"
#include "tavrin/core/text.hpp"

namespace {

bool all_finite(const tavrin::Value& v) {
  if (v.is_number_float()) return std::isfinite(v.get<double>());
  if (!v.is_structured()) return true;
  for (const tavrin::Value& element : v) {
    if (!all_finite(element)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tavrin::Value value;
  try {
    value = tavrin::literal_eval(text);
  } catch (const tavrin::SyntaxError&) {
    return 0;
  } catch (const tavrin::ValueError&) {
    return 0;
  } catch (const tavrin::TypeError&) {
    return 0;
  }
  // inf and nan have no literal form, in Python either: repr writes them as names.
  if (all_finite(value) && tavrin::literal_eval(tavrin::repr(value)) != value) std::abort();
  return 0;
}
