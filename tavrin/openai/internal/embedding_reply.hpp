// The reader of an embeddings reply body: it walks the JSON once and writes each vector straight
// into its slot, without a value tree (a 1,536-dimension vector is about 30 KB of digits).
//
//   std::vector<std::vector<float>> slots(2);
//   std::size_t dimension = 0;
//   read_embedding_reply(R"({"data":[{"index":1,"embedding":[3]},{"index":0,"embedding":[2]}]})",
//                        slots, dimension);
//   // slots -> {{2}, {3}}, dimension -> 1
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::openai::internal {

/// What the vectors of one reply must agree with: a dimension fixed by the request
/// ("dimensions"), by the vectors read before (earlier replies of the same call), or not yet.
struct Dimension {
  std::size_t size = 0;  // 0: not known yet; set by the first vector read
  bool asked = false;    // size was asked for in the request
};

/// Reads `body`, an embeddings reply ({"data": [{"index": i, "embedding": ...}, ...], ...}), into
/// `slots`, one per text sent: an item goes to the slot its "index" names, an item without
/// "index" to its own position in "data". An embedding is an array of numbers or a base64 string
/// of little-endian float32 values, whichever the reply holds. Every other member is skipped.
///
/// Throws tavrin::ValueError unless the body is one JSON object whose "data" array answers each
/// slot exactly once with a non-empty vector of finite float32 values, not all zero, all of
/// `dimension.size` components (which the first vector sets when it is 0). The message names
/// the item ("data[3].embedding[17]") and what was wrong; of the body it quotes only the start
/// of an "error" member (its "message"), when the reply has one instead of "data", with each of
/// `secrets` replaced by "***" (give the longest first when one holds another). Slots may be
/// partly filled when it throws.
void read_embedding_reply(std::string_view body, std::span<std::vector<float>> slots,
                          Dimension& dimension, std::span<const std::string> secrets = {});

}  // namespace tavrin::openai::internal
