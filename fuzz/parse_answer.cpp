// parse_answer must answer a mapping or fail with ValueError, on any text and in time linear in
// its length; another exception, a non-mapping result or a sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tavrin/core/errors.hpp"
#include "tavrin/palisk.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    if (!tavrin::palisk::parse_answer(text).is_object()) std::abort();
  } catch (const tavrin::ValueError&) {
  }
  return 0;
}
