// One request of the transport, checked and serialised before anything is sent: where it goes,
// taken from the url, and its bytes, the head written by hand so that no header can smuggle
// another or end the header block.
//
//   Request r = make_request(parse_url("http://h:8080/v1"), Json{{"X-A", "1"}}, Json{{"n", 1}});
//   // r.head == "POST /v1 HTTP/1.1\r\nHost: h:8080\r\nX-A: 1\r\nContent-Length: 7\r\n\r\n"
//   // r.body == R"({"n":1})"
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "quellin/internal/redaction.hpp"

namespace quellin {
struct MultipartForm;
}

namespace quellin::internal {

/// Where a request goes, taken from the url.
struct Target {
  bool tls = false;
  std::string host;         // for name resolution, SNI and the certificate check
  std::string port;         // decimal
  std::string host_header;  // host and port as the url writes them
  std::string path;         // origin-form request target: path and query
  bool host_is_name = true;

  std::string where() const { return host + ":" + port; }
};

/// The target of `url`; a ValueError as require_endpoint_url says when it cannot be one.
Target parse_url(std::string_view url);

/// A file sent as part of a body, read from disk as it goes.
struct FilePart {
  std::filesystem::path path;
  std::uint64_t size = 0;  // as the Content-Length counted it
};

/// One request, checked and serialised before anything is sent: `head`, `body`, then, when
/// there is a file, its bytes and `tail`.
struct Request {
  std::string head;
  std::string body;
  std::optional<FilePart> file;
  std::string tail;
  Secrets secrets;
};

/// A POST of `payload` as JSON. Checks `headers` (TypeError, ValueError) and `payload`
/// (ValueError) and builds the bytes.
Request make_request(const Target& target, const Json& headers, const Json& payload);

/// A GET without a body. Checks `headers` as make_request does.
Request make_get(const Target& target, const Json& headers);

/// A POST of `form` as multipart/form-data. Checks `headers` as make_request does and the
/// names of `form` (ValueError), and takes the file's size (filesystem_error).
Request make_upload(const Target& target, const Json& headers, const MultipartForm& form);

}  // namespace quellin::internal
