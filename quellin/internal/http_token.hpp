// What an HTTP token is (RFC 9110's tchar): a header name must be one, and so must the scheme
// of a header value "<scheme> <credentials>" whose credentials the redaction hides.
#pragma once

#include <string_view>

namespace quellin::internal {

/// Whether `c` may appear in an HTTP token.
inline bool is_token_char(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace quellin::internal
