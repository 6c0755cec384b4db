// What an HTTP token is (RFC 9110's tchar): a header name must be one, and so must the scheme
// of a header value "<scheme> <credentials>" whose credentials the redaction hides; and how
// header names compare.
#pragma once

#include <algorithm>
#include <cctype>
#include <string_view>

namespace quellin::internal {

/// Whether `c` may appear in an HTTP token.
inline bool is_token_char(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

/// Whether `a` and `b` are the same ASCII text but for the case of letters, as header names
/// are compared.
inline bool iequals(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
    return std::tolower(x) == std::tolower(y);
  });
}

}  // namespace quellin::internal
