// Character names, as Python 3.11 reads them in a \N{...} escape.
#pragma once

#include <optional>
#include <string_view>

namespace tavrin::core::internal {

/// The code point `name` names: a character name or a name alias of the Unicode Character
/// Database, matched without regard to ASCII case, or an algorithmic name written in capitals
/// ("CJK UNIFIED IDEOGRAPH-4E2D", "HANGUL SYLLABLE GAG"). nullopt for any other text.
///
/// The table is built from the Unicode 15.0 database, where Python 3.11 has 14.0: the names of
/// the characters and the aliases that 15.0 added are known here and unknown to Python, and
/// that is the only difference.
std::optional<char32_t> code_point_named(std::string_view name);

}  // namespace tavrin::core::internal
