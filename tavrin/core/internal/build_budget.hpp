// The memory a parser may spend on the value of a text that it may still refuse, shared by the
// parsers of tavrin::core.
//
// A parser that builds as it reads wastes what it built when it refuses the text near its end,
// and the value of a text can take sixteen times the text's size. So a long text is built at
// once only while its value stays within a budget; past it, the parser gives up the partial
// value (Exceeded), reads the whole text once without building, and then builds it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "tavrin/core/value.hpp"

namespace tavrin::core::internal {

/// How many times its own size the value of a text can take, about.
inline constexpr std::size_t kMaxGrowth = 16;

/// What a refused text may cost beyond its own size.
inline constexpr std::size_t kBuildBudget = 64 * 1024;

class BuildBudget {
 public:
  /// Thrown when the value grows past the budget; the parser's caller catches it.
  struct Exceeded {};

  explicit BuildBudget(std::size_t bytes) : left_(bytes) {}

  /// Whether building `text` needs counting: the value of a shorter one fits the budget anyway.
  static bool needed_for(std::string_view text) { return text.size() > kBuildBudget / kMaxGrowth; }

  /// Counts `bytes` more of the value.
  void charge(std::size_t bytes) {
    if (bytes > left_) throw Exceeded{};
    left_ -= bytes;
  }

  /// Counts an element kept in a list, about: its slot and what a text or bytes hold apart.
  void charge_element(const Value& element) {
    std::size_t bytes = sizeof(Value);
    if (element.is_string()) {
      bytes += sizeof(std::string) + element.get_ref<const std::string&>().size();
    } else if (element.is_binary()) {
      bytes += sizeof(Value::binary_t) + element.get_binary().size();
    } else if (element.is_structured()) {
      bytes += sizeof(Value::array_t);
    }
    charge(bytes);
  }

  /// Counts a member kept in a mapping: its key and its value.
  void charge_member(std::size_t key_size, const Value& value) {
    charge(sizeof(std::string) + key_size);
    charge_element(value);
  }

 private:
  std::size_t left_;
};

/// The value of `text` as `read(building, budget)` gives it, a read by a parser that builds
/// when `building` and counts against `budget` when it is not null: built at once when the
/// value cannot outgrow the budget or does not, else checked to its end and then built.
template <class Read>
Value build_within_budget(std::string_view text, Read read) {
  if (!BuildBudget::needed_for(text)) return read(true, nullptr);
  BuildBudget budget(kBuildBudget);
  try {
    return read(true, &budget);
  } catch (const BuildBudget::Exceeded&) {
  }
  read(false, nullptr);
  return read(true, nullptr);
}

}  // namespace tavrin::core::internal
