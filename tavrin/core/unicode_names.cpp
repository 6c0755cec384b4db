#include "tavrin/core/internal/unicode_names.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace tavrin::core::internal {
namespace {

#include "unicode_names_table.inc"

// The entries of one block in order. A name is never spelled out: each is compared with the
// name looked for as it is read, knowing how much of that name the one before spelled.
class BlockReader {
 public:
  BlockReader(std::size_t block, std::string_view wanted)
      : next_(kEntries + kBlocks[block]),
        left_(std::min(kBlockSize, kNameCount - block * kBlockSize)),
        wanted_(wanted) {}

  bool done() const { return left_ == 0; }
  char32_t code_point() const { return code_point_; }

  // Reads the next entry: negative when its name comes before the wanted one, zero when it is
  // the wanted one, positive when it comes after.
  int read() {
    --left_;
    const std::size_t prefix = *next_++;  // shared with the name before
    const std::size_t rest = *next_++;
    const std::uint8_t* suffix = next_;
    next_ += rest;
    read_code_point();
    // A name sharing more with the one before than that one shared with the wanted name
    // differs from the wanted name where that one did, in the same direction; sharing less,
    // it differs where that one agreed, upwards, as the names are sorted.
    if (prefix != matched_) return prefix > matched_ ? -1 : 1;
    for (std::size_t k = 0; k < rest; ++k) {
      const std::uint8_t b = suffix[k];
      const int order = b < 0x80 ? compare(static_cast<char>(b)) : compare(kTokens[b - 0x80]);
      if (order != 0) return order;
    }
    return matched_ == wanted_.size() ? 0 : -1;
  }

 private:
  int compare(char c) {
    if (matched_ == wanted_.size()) return 1;
    const auto w = static_cast<unsigned char>(wanted_[matched_]);
    if (static_cast<unsigned char>(c) != w) return static_cast<unsigned char>(c) < w ? -1 : 1;
    ++matched_;
    return 0;
  }

  int compare(std::string_view token) {
    for (const char c : token) {
      if (const int order = compare(c)) return order;
    }
    return 0;
  }

  // In full at the start of a block, else a zig-zag varint difference from the one before.
  void read_code_point() {
    if (first_) {
      first_ = false;
      code_point_ = char32_t{next_[0]} << 16 | char32_t{next_[1]} << 8 | next_[2];
      next_ += 3;
      return;
    }
    std::uint32_t zigzag = 0;
    for (int shift = 0;; shift += 7) {
      const std::uint8_t b = *next_++;
      zigzag |= std::uint32_t{b & 0x7Fu} << shift;
      if (b < 0x80) break;
    }
    const auto delta = static_cast<std::int32_t>((zigzag >> 1) ^ (0u - (zigzag & 1)));
    code_point_ = static_cast<char32_t>(static_cast<std::int32_t>(code_point_) + delta);
  }

  const std::uint8_t* next_;
  std::size_t left_;
  std::string_view wanted_;
  bool first_ = true;
  std::size_t matched_ = 0;  // how much of the wanted name the last name read spells
  char32_t code_point_ = 0;
};

// The first eight bytes of `name`, zero-padded, as the table's kBlockHeads holds them.
std::uint64_t head_key(std::string_view name) {
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    key = key << 8 | (i < name.size() ? static_cast<unsigned char>(name[i]) : 0u);
  }
  return key;
}

std::optional<char32_t> table_lookup(std::string_view upper) {
  // The last block whose first name is not after `upper`: the blocks before those whose heads
  // tie with it come before it, and the tied ones are told apart by their whole first names.
  const auto tied = std::equal_range(kBlockHeads.begin(), kBlockHeads.end(), head_key(upper));
  auto low = static_cast<std::size_t>(tied.first - kBlockHeads.begin());
  auto high = static_cast<std::size_t>(tied.second - kBlockHeads.begin());
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (BlockReader(middle, upper).read() <= 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low == 0) return std::nullopt;
  BlockReader reader(low - 1, upper);
  while (!reader.done()) {
    const int order = reader.read();
    if (order == 0) return reader.code_point();
    if (order > 0) break;
  }
  return std::nullopt;
}

// The short names of the leading consonants, vowels and trailing consonants of a Hangul
// syllable, in the order of their indices (the Unicode standard, 3.12).
constexpr std::array<std::string_view, 19> kLeading = {"G", "GG", "N", "D",  "DD", "R", "M",
                                                       "B", "BB", "S", "SS", "",   "J", "JJ",
                                                       "C", "K",  "T", "P",  "H"};
constexpr std::array<std::string_view, 21> kVowels = {"A",   "AE", "YA", "YAE", "EO", "E",  "YEO",
                                                      "YE",  "O",  "WA", "WAE", "OE", "YO", "U",
                                                      "WEO", "WE", "WI", "YU",  "EU", "YI", "I"};
constexpr std::array<std::string_view, 28> kTrailing = {
    "",   "G",  "GG", "GS", "N",  "NJ", "NH", "D",  "L", "LG", "LM", "LB", "LS", "LT",
    "LP", "LH", "M",  "B",  "BS", "S",  "SS", "NG", "J", "C",  "K",  "T",  "P",  "H"};

// Index of the longest short name that starts `rest`, or -1; consumes it. Python matches each
// part this way, so "GGAG" is GG-A-G.
template <std::size_t N>
int take_jamo(std::string_view& rest, const std::array<std::string_view, N>& jamo) {
  int best = -1;
  for (std::size_t i = 0; i < N; ++i) {
    if ((best < 0 || jamo[i].size() > jamo[static_cast<std::size_t>(best)].size()) &&
        rest.substr(0, jamo[i].size()) == jamo[i]) {
      best = static_cast<int>(i);
    }
  }
  if (best >= 0) rest.remove_prefix(jamo[static_cast<std::size_t>(best)].size());
  return best;
}

std::optional<char32_t> hangul_syllable(std::string_view rest) {
  const int leading = take_jamo(rest, kLeading);
  const int vowel = take_jamo(rest, kVowels);
  const int trailing = take_jamo(rest, kTrailing);
  if (leading < 0 || vowel < 0 || trailing < 0 || !rest.empty()) return std::nullopt;
  constexpr char32_t kFirstSyllable = 0xAC00;
  return kFirstSyllable + static_cast<char32_t>((leading * 21 + vowel) * 28 + trailing);
}

// Four or five capital hex digits of a code point in a range of unified ideographs.
std::optional<char32_t> unified_ideograph(std::string_view digits) {
  if (digits.size() != 4 && digits.size() != 5) return std::nullopt;
  char32_t cp = 0;
  for (const char c : digits) {
    const bool decimal = c >= '0' && c <= '9';
    if (!decimal && (c < 'A' || c > 'F')) return std::nullopt;
    cp = cp * 16 + static_cast<char32_t>(decimal ? c - '0' : c - 'A' + 10);
  }
  for (const auto& [first, last] : kIdeographRanges) {
    if (cp >= first && cp <= last) return cp;
  }
  return std::nullopt;
}

}  // namespace

std::optional<char32_t> code_point_named(std::string_view name) {
  // The algorithmic names are recognised in capitals only, as Python does.
  constexpr std::string_view kHangul = "HANGUL SYLLABLE ";
  constexpr std::string_view kIdeograph = "CJK UNIFIED IDEOGRAPH-";
  if (name.substr(0, kHangul.size()) == kHangul)
    return hangul_syllable(name.substr(kHangul.size()));
  if (name.substr(0, kIdeograph.size()) == kIdeograph) {
    return unified_ideograph(name.substr(kIdeograph.size()));
  }
  if (name.empty() || name.size() > kLongestName) return std::nullopt;
  std::array<char, kLongestName> upper{};
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    upper[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return table_lookup(std::string_view(upper.data(), name.size()));
}

}  // namespace tavrin::core::internal
