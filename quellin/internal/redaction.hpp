// What the transport may quote of untrusted bytes in its messages: an excerpt made printable,
// and the header values of the request replaced by "***", since a server may echo them.
//
//   Secrets secrets(Json{{"Authorization", "Bearer sk-1"}});
//   secrets.redact("echo: Bearer sk-1", 100)   // -> "echo: ***"
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace quellin::internal {

using Json = nlohmann::ordered_json;

/// Untrusted bytes made safe for a message: their excerpt of at most `limit` bytes (never
/// half a character), control characters escaped so that a reply cannot write to the
/// reader's terminal, "..." when cut.
std::string printable(std::string_view bytes, std::size_t limit);

/// The header values a request carried. A server may echo the request in its reply, so
/// whatever the transport quotes from a reply has each of them replaced by "***"; of a value
/// of the form "<scheme> <credentials>" (Authorization), the credentials alone as well.
class Secrets {
 public:
  Secrets() = default;
  /// `headers` as check_headers accepted them.
  explicit Secrets(const Json& headers);

  /// At most `limit` bytes of `bytes`, each secret replaced as it is met. The replacement
  /// happens before the cut, so a cut never leaves the start of a secret behind.
  std::string redact(std::string_view bytes, std::size_t limit) const;

 private:
  std::vector<std::string> values_;  // the longest first
};

}  // namespace quellin::internal
