// literal_eval must either give a Value or throw one of tavrin's SyntaxError, ValueError or
// TypeError, whatever the text; and what it gives must read back from its repr unchanged.
// Any other exception, a sanitizer report or a mismatch is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tavrin/core/errors.hpp"
#include "tavrin/core/literal.hpp"
#include "tavrin/core/text.hpp"

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
  if (tavrin::literal_eval(tavrin::repr(value)) != value) std::abort();
  return 0;
}
