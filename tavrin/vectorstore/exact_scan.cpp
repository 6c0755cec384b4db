#include "tavrin/vectorstore/exact_scan.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "tavrin/core/errors.hpp"

// Built with -ffp-contract=off (CMakeLists.txt): a fused multiply-add would round once where
// FAISS rounds twice, and the scores would no longer be FAISS's.
namespace tavrin::vectorstore {
namespace {

// Sixteen floats; the compiler splits it into the registers the target has.
using Lanes = float __attribute__((vector_size(64)));
constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(float);
// Four independent sums per component hide the latency of the additions.
constexpr std::size_t kGroup = 4;
constexpr std::size_t kBlock = kLanes * kGroup;

using ScoreBlock = void (*)(const float* query, const float* block, std::size_t dimension,
                            float* scores);

// The scores of the kBlock documents of `block` against `query`: for each document, the sum
// 0 + q[0] * v[0] + q[1] * v[1] + ... in that order, in float, as faiss::fvec_inner_product.
// Inlined into each variant below, so that each compiles it for its own instructions.
[[gnu::always_inline]] inline void score_block_body(const float* query, const float* block,
                                                    std::size_t dimension, float* scores) {
  Lanes sums[kGroup] = {};
  for (std::size_t d = 0; d < dimension; ++d) {
    const Lanes q = Lanes{} + query[d];
    const float* row = block + d * kBlock;
    for (std::size_t g = 0; g < kGroup; ++g) {
      Lanes v;
      std::memcpy(&v, row + g * kLanes, sizeof v);
      sums[g] += q * v;
    }
  }
  std::memcpy(scores, sums, sizeof sums);
}

void score_block_default(const float* query, const float* block, std::size_t dimension,
                         float* scores) {
  score_block_body(query, block, dimension, scores);
}

#if defined(__x86_64__)
[[gnu::target("avx512f")]] void score_block_avx512(const float* query, const float* block,
                                                   std::size_t dimension, float* scores) {
  score_block_body(query, block, dimension, scores);
}

[[gnu::target("avx2")]] void score_block_avx2(const float* query, const float* block,
                                              std::size_t dimension, float* scores) {
  score_block_body(query, block, dimension, scores);
}
#endif

// The widest variant this processor runs, chosen at the first scan. Not an ifunc
// (target_clones): its resolver runs while the program is loaded, before a sanitizer's runtime
// is set up, and ThreadSanitizer's instrumentation of it crashes the program there.
ScoreBlock score_block_for_this_processor() {
  static const ScoreBlock chosen = [] {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return &score_block_avx512;
    if (__builtin_cpu_supports("avx2")) return &score_block_avx2;
#endif
    return &score_block_default;
  }();
  return chosen;
}

// Keeps the `topk` best hits seen so far, best first; a hit ranks before another of equal
// score only when it came first, so positions must be offered in increasing order.
class TopHits {
 public:
  explicit TopHits(std::size_t topk) : topk_(topk) { hits_.reserve(topk + 1); }

  void offer(std::size_t position, float score) {
    if (hits_.size() == topk_ && !(score > hits_.back().second)) return;
    const auto at = std::find_if(hits_.begin(), hits_.end(),
                                 [&](const ExactScan::Hit& hit) { return hit.second < score; });
    hits_.insert(at, {position, score});
    if (hits_.size() > topk_) hits_.pop_back();
  }

  std::vector<ExactScan::Hit> take() { return std::move(hits_); }

 private:
  std::size_t topk_;
  std::vector<ExactScan::Hit> hits_;
};

}  // namespace

ExactScan::ExactScan(const FAISS& store) : size_(store.size()), dimension_(store.dimension()) {
  const std::size_t blocks = (size_ + kBlock - 1) / kBlock;
  blocks_.assign(blocks * kBlock * dimension_, 0.0F);
  for (std::size_t i = 0; i < size_; ++i) {
    const std::vector<float> vector = store.vector(i);
    float* block = blocks_.data() + (i / kBlock) * kBlock * dimension_;
    for (std::size_t d = 0; d < dimension_; ++d) block[d * kBlock + i % kBlock] = vector[d];
  }
}

std::vector<ExactScan::Hit> ExactScan::nearest(std::span<const float> query,
                                               std::size_t topk) const {
  return std::move(nearest_each({std::vector<float>(query.begin(), query.end())}, topk)[0]);
}

std::vector<std::vector<ExactScan::Hit>> ExactScan::nearest_each(
    const std::vector<std::vector<float>>& queries, std::size_t topk) const {
  std::vector<std::vector<Hit>> found(queries.size());
  if (size_ == 0 || topk == 0) return found;
  for (const std::vector<float>& query : queries) {
    if (query.size() != dimension_) {
      throw ValueError("the query vector has dimension " + std::to_string(query.size()) +
                       ", the store " + std::to_string(dimension_));
    }
  }
  std::vector<TopHits> tops(queries.size(), TopHits(std::min(topk, size_)));
  const ScoreBlock score_block = score_block_for_this_processor();
  float scores[kBlock];
  for (std::size_t first = 0; first < size_; first += kBlock) {
    const float* block = blocks_.data() + first * dimension_;
    for (std::size_t q = 0; q < queries.size(); ++q) {
      score_block(queries[q].data(), block, dimension_, scores);
      for (std::size_t j = 0; j < kBlock && first + j < size_; ++j) {
        tops[q].offer(first + j, scores[j]);
      }
    }
  }
  for (std::size_t q = 0; q < queries.size(); ++q) found[q] = tops[q].take();
  return found;
}

}  // namespace tavrin::vectorstore
