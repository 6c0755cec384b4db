// json_loads must either give a Value or throw tavrin::ValueError, whatever the text; what it
// gives must survive being written out and read again (unless it holds NaN or an infinity,
// which dump writes as null), and have a repr.
// Any other exception, a sanitizer report or a mismatch is a finding.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/core/text.hpp"

namespace {

bool all_finite(const tavrin::Value& v) {
  if (v.is_number_float()) return std::isfinite(v.get<double>());
  if (!v.is_structured()) return true;
  return std::all_of(v.begin(), v.end(), [](const tavrin::Value& e) { return all_finite(e); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tavrin::Value value;
  try {
    value = tavrin::json_loads(text);
  } catch (const tavrin::ValueError&) {
    return 0;
  }
  if (all_finite(value) && tavrin::json_loads(value.dump()) != value) std::abort();
  tavrin::repr(value);
  return 0;
}
