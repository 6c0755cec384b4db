// llm_postprocess must turn any text into a value and never fail: an escaping exception or
// a sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tavrin/palisk.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tavrin::palisk::llm_postprocess(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
