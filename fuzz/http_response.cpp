// Arbitrary bytes as the whole reply of an endpoint, decoded as the transport decodes what it
// reads. The three documented failures are expected; anything else escaping, or a sanitizer
// report, is a finding.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quellin/internal/reply.hpp"
#include "quellin/quellin.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    quellin::internal::parse_reply(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const quellin::HttpError&) {
  } catch (const quellin::ValueError&) {
  } catch (const quellin::TransportError&) {
  }
  return 0;
}
