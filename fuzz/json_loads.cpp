// json_loads must either give a Value or throw tavrin::ValueError, whatever the text; what it
// gives must survive being written out and read again, and have a repr.
// Any other exception, a sanitizer report or a mismatch is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/core/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tavrin::Value value;
  try {
    value = tavrin::json_loads(text);
  } catch (const tavrin::ValueError&) {
    return 0;
  }
  if (tavrin::json_loads(value.dump()) != value) std::abort();
  tavrin::repr(value);
  return 0;
}
