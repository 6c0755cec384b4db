// Reading an embeddings reply must either fill every slot with vectors of one dimension or throw
// tavrin::ValueError, whatever the body. The first byte picks how many texts were sent.
// Any other exception, a sanitizer report or a slot left empty after success is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tavrin/core/errors.hpp"
#include "tavrin/openai/internal/embedding_reply.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::vector<std::vector<float>> slots(data[0] % 8);
  const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  tavrin::openai::internal::Dimension dimension;
  const std::vector<std::string> secrets = {"sk-secret"};
  try {
    tavrin::openai::internal::read_embedding_reply(body, slots, dimension, secrets);
  } catch (const tavrin::ValueError& e) {
    if (std::string_view(e.what()).find("sk-secret") != std::string_view::npos) std::abort();
    return 0;
  }
  for (const auto& slot : slots) {
    if (slot.size() != dimension.size || slot.empty()) std::abort();
  }
  return 0;
}
