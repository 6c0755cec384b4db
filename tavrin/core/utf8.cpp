#include "tavrin/core/internal/utf8.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tavrin::internal {

namespace {

// Sequence by sequence; ASCII eight bytes at a time.
std::size_t scan_for_invalid(std::string_view s) noexcept {
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  std::size_t i = 0;
  while (i < s.size()) {
    if (s.size() - i >= sizeof(std::uint64_t)) {
      std::uint64_t word = 0;
      std::memcpy(&word, s.data() + i, sizeof word);
      if ((word & kHighBits) == 0) {
        i += sizeof word;
        continue;
      }
    }
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = well_formed_length(s.substr(i));
    if (length == 0) return i;
    i += length;
  }
  return std::string_view::npos;
}

#if defined(__x86_64__)

// The check of Keiser and Lemire ("Validating UTF-8 in less than one instruction per byte",
// 2021). Every byte is classed by three table look-ups, on the high nibble of the previous
// byte, its low nibble and the byte's own high nibble; each bit of a class names one way the
// pair can be wrong, so the three classes ANDed are nonzero exactly where the pair is. A byte
// two or three after a three- or four-byte lead must be a continuation, which the look-ups
// cannot see; that bit (0x80) is XORed in instead.
namespace error_bit {
constexpr unsigned char kTooShort = 1 << 0;   // a lead byte not followed by a continuation
constexpr unsigned char kTooLong = 1 << 1;    // a continuation after an ASCII byte
constexpr unsigned char kOverlong3 = 1 << 2;  // E0 80..9F
constexpr unsigned char kTooLarge = 1 << 3;   // F4 90..BF, F5..FF
constexpr unsigned char kSurrogate = 1 << 4;  // ED A0..BF
constexpr unsigned char kOverlong2 = 1 << 5;  // C0, C1
constexpr unsigned char kTooLarge1000 = 1 << 6;
constexpr unsigned char kOverlong4 = 1 << 6;  // F0 80..8F
constexpr unsigned char kTwoConts = 1 << 7;   // a continuation after a continuation
constexpr unsigned char kCarry = kTooShort | kTooLong | kTwoConts;
}  // namespace error_bit

// The 32 bytes that end N bytes before the end of `input`: the last N of `previous`, then
// `input` less its last N.
template <int N>
[[gnu::target("avx2")]] inline __m256i shifted_in(__m256i input, __m256i previous) {
  return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previous, input, 0x21), 16 - N);
}

// The entries of `table` that `nibbles` (0 to 15 in every byte) pick.
[[gnu::target("avx2")]] inline __m256i nibble_class(const std::array<unsigned char, 16>& table,
                                                    __m256i nibbles) {
  const __m128i entries = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table.data()));
  return _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(entries), nibbles);
}

// Nonzero bytes where `input`, after `previous`, is not well-formed.
[[gnu::target("avx2")]] inline __m256i sequence_errors(__m256i input, __m256i previous) {
  using namespace error_bit;
  using Table = std::array<unsigned char, 16>;
  // clang-format off
  static constexpr Table kFirstHigh = {  // by the previous byte's high nibble
      kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,  // ASCII
      kTwoConts, kTwoConts, kTwoConts, kTwoConts,                                      // 10xx
      kTooShort | kOverlong2, kTooShort,                                               // 110x
      kTooShort | kOverlong3 | kSurrogate,                                             // 1110
      kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};                             // 1111
  static constexpr unsigned char kAbove = kCarry | kTooLarge | kTooLarge1000;
  static constexpr Table kFirstLow = {  // by the previous byte's low nibble
      kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
      kCarry | kTooLarge, kAbove, kAbove, kAbove, kAbove, kAbove, kAbove, kAbove, kAbove,
      kAbove | kSurrogate, kAbove, kAbove};
  static constexpr unsigned char kCont = kTooLong | kOverlong2 | kTwoConts;
  static constexpr Table kSecondHigh = {  // by the byte's own high nibble
      kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
      kCont | kOverlong3 | kTooLarge1000 | kOverlong4,  // 1000
      kCont | kOverlong3 | kTooLarge,                   // 1001
      kCont | kSurrogate | kTooLarge,                   // 1010
      kCont | kSurrogate | kTooLarge,                   // 1011
      kTooShort, kTooShort, kTooShort, kTooShort};
  // clang-format on
  const __m256i low_nibble = _mm256_set1_epi8(0x0F);
  const __m256i previous1 = shifted_in<1>(input, previous);
  const __m256i classes = _mm256_and_si256(
      _mm256_and_si256(
          nibble_class(kFirstHigh, _mm256_and_si256(_mm256_srli_epi16(previous1, 4), low_nibble)),
          nibble_class(kFirstLow, _mm256_and_si256(previous1, low_nibble))),
      nibble_class(kSecondHigh, _mm256_and_si256(_mm256_srli_epi16(input, 4), low_nibble)));
  // 0x80 and above exactly where the byte two back is E0 or more, or three back F0 or more.
  const __m256i third = _mm256_subs_epu8(shifted_in<2>(input, previous),
                                         _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
  const __m256i fourth = _mm256_subs_epu8(shifted_in<3>(input, previous),
                                          _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  const __m256i must_continue =
      _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_xor_si256(must_continue, classes);
}

[[gnu::target("avx2")]] bool is_well_formed_avx2(std::string_view s) noexcept {
  constexpr std::size_t kBlock = sizeof(__m256i);
  __m256i previous = _mm256_setzero_si256();
  __m256i errors = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; s.size() - i >= kBlock; i += kBlock) {
    const __m256i input = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s.data() + i));
    errors = _mm256_or_si256(errors, sequence_errors(input, previous));
    previous = input;
  }
  // The rest, padded with zeros (at least one): a sequence cut short by the end of the text
  // shows as one followed by ASCII.
  alignas(kBlock) unsigned char rest[kBlock] = {};
  std::memcpy(rest, s.data() + i, s.size() - i);
  const __m256i last = _mm256_load_si256(reinterpret_cast<const __m256i*>(rest));
  errors = _mm256_or_si256(errors, sequence_errors(last, previous));
  return _mm256_testz_si256(errors, errors) != 0;
}

#endif

// Below this the scalar scan, which also answers where, is as fast.
constexpr std::size_t kVectorThreshold = 64;

using WholeCheck = bool (*)(std::string_view) noexcept;

WholeCheck whole_check() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) return &is_well_formed_avx2;
#endif
  return nullptr;
}

}  // namespace

std::size_t decode_code_point(std::string_view s, std::uint32_t& cp) noexcept {
  const std::size_t length = well_formed_length(s);
  if (length == 0) return 0;
  static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  cp = static_cast<unsigned char>(s[0]) & kLeadBits[length];
  for (std::size_t i = 1; i < length; ++i) {
    cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
  }
  return length;
}

std::size_t first_invalid_utf8(std::string_view s) noexcept {
  // The vector check says only whether all is well; where it is not, the scan finds the place.
  static const WholeCheck check = whole_check();
  if (check != nullptr && s.size() >= kVectorThreshold && check(s)) {
    return std::string_view::npos;
  }
  return scan_for_invalid(s);
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace tavrin::internal
