// Scanning text sixteen bytes at a time, for the passes that look at every byte of a reply: a
// block is compared with a byte in one step, and the runs between the bytes found are copied
// whole.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrin::core::internal {

/// Bytes in a block.
inline constexpr std::size_t kBlockBytes = 16;

/// A bit for each of the sixteen bytes at `at` that equals `a` or `b`: bit k for the k-th in
/// memory order. Three vector instructions where the target has SSE2 (every x86-64).
inline std::uint32_t block_marks(const char* at, char a, char b) {
#if defined(__SSE2__)
  const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  const __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8(a)),
                                    _mm_cmpeq_epi8(block, _mm_set1_epi8(b)));
  return static_cast<std::uint32_t>(_mm_movemask_epi8(hits));
#else
  std::uint32_t marks = 0;
  for (std::size_t k = 0; k < kBlockBytes; ++k) {
    marks |= static_cast<std::uint32_t>(at[k] == a || at[k] == b) << k;
  }
  return marks;
#endif
}

/// block_marks, with a bit as well for each byte below 0x20, which JSON's strings never hold
/// as they are.
inline std::uint32_t block_marks_or_controls(const char* at, char a, char b) {
#if defined(__SSE2__)
  const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  const __m128i below_space = _mm_set1_epi8(0x1F);
  const __m128i controls = _mm_cmpeq_epi8(_mm_max_epu8(block, below_space), below_space);
  return block_marks(at, a, b) | static_cast<std::uint32_t>(_mm_movemask_epi8(controls));
#else
  std::uint32_t marks = block_marks(at, a, b);
  for (std::size_t k = 0; k < kBlockBytes; ++k) {
    marks |= static_cast<std::uint32_t>(static_cast<unsigned char>(at[k]) < 0x20) << k;
  }
  return marks;
#endif
}

}  // namespace tavrin::core::internal
