#include "quellin/internal/request.hpp"

#include <algorithm>
#include <charconv>
#include <optional>
#include <random>
#include <string_view>

#include <boost/url/parse.hpp>

#include "quellin/client.hpp"
#include "quellin/internal/http_token.hpp"
#include "quellin/quellin.hpp"
#include "tavrin/core/internal/excerpt.hpp"

namespace quellin::internal {

namespace {

std::string quote_bytes(std::string_view bytes) {
  return '"' + printable(bytes, tavrin::internal::kExcerptBytes) + '"';
}

// A header must not be able to smuggle another header or end the header block.
void check_header(std::string_view name, const Json& value) {
  if (name.empty() || !std::all_of(name.begin(), name.end(), is_token_char)) {
    throw ValueError("header name " + quote_bytes(name) + " is not an HTTP token");
  }
  if (!value.is_string()) {
    throw TypeError("header " + quote_bytes(name) + " must be text, not " + value.type_name());
  }
  if (iequals(name, "Content-Length") || iequals(name, "Transfer-Encoding")) {
    throw ValueError("header " + quote_bytes(name) + " is set by the transport");
  }
  if (value.get_ref<const std::string&>().find_first_of(std::string_view("\r\n\0", 3)) !=
      std::string::npos) {
    // The value is not quoted: it may be a key.
    throw ValueError("header " + quote_bytes(name) + " value holds CR, LF or NUL");
  }
}

std::string serialise(const Json& payload) {
  try {
    return payload.dump(-1, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::type_error& e) {
    throw ValueError(std::string("payload cannot be sent as JSON: ") + e.what());
  }
}

void check_headers(const Json& headers) {
  if (!headers.is_object()) {
    throw TypeError(std::string("headers must be a mapping, not ") + headers.type_name());
  }
  for (const auto& [name, value] : headers.items()) check_header(name, value);
}

// The request bytes up to the body, written by hand: field values go out exactly as given
// (Beast would trim their blanks), in the caller's order between Host and the framing. A Host
// of the caller's replaces the transport's; the framing headers are the transport's, and so
// is the Content-Type of a body whose type the transport chose (`content_type`).
std::string build_head(std::string_view method, const Target& target, const Json& headers,
                       std::optional<std::uint64_t> body_size,
                       std::optional<std::string_view> content_type = std::nullopt) {
  const bool has_host =
      std::any_of(headers.items().begin(), headers.items().end(),
                  [](const auto& header) { return iequals(header.key(), "Host"); });
  std::string head = std::string(method) + " " + target.path + " HTTP/1.1\r\n";
  if (!has_host) head += "Host: " + target.host_header + "\r\n";
  for (const auto& [name, value] : headers.items()) {
    if (content_type && iequals(name, "Content-Type")) continue;
    head += name + ": " + value.get_ref<const std::string&>() + "\r\n";
  }
  if (content_type) head += "Content-Type: " + std::string(*content_type) + "\r\n";
  if (body_size) head += "Content-Length: " + std::to_string(*body_size) + "\r\n";
  return head + "\r\n";
}

// A name of a part, written as a quoted-string of its Content-Disposition: no byte that
// could end the string or the line (RFC 7578 leaves escapes unspecified, so none is used).
void check_part_name(std::string_view what, std::string_view name) {
  const bool bad = std::any_of(name.begin(), name.end(), [](unsigned char c) {
    return c < 0x20 || c == 0x7f || c == '"' || c == '\\';
  });
  if (bad) {
    throw ValueError("multipart " + std::string(what) + " " + quote_bytes(name) +
                     " holds a control character, '\"' or '\\'");
  }
}

// A boundary of 40 random letters and digits (some 238 bits), drawn again in the unlikely
// case that a text part holds it; the file is not searched, which the length makes safe.
std::string boundary_for(const MultipartForm& form) {
  static constexpr std::string_view kAlphabet =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::random_device device;
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  for (;;) {
    std::string boundary = "quellin-";
    for (int i = 0; i < 40; ++i) boundary += kAlphabet[pick(device)];
    const bool clashes = std::any_of(form.fields.begin(), form.fields.end(), [&](const auto& f) {
      return f.name.find(boundary) != std::string::npos ||
             f.value.find(boundary) != std::string::npos;
    });
    if (!clashes) return boundary;
  }
}

// What a message may show of a url: the part before the query and fragment, either of which
// may hold a key, with whatever stands before an '@' of the authority replaced by "***". It
// is also used for text that is no URL, which Boost.URL cannot take apart.
std::string shown_url(std::string_view url) {
  std::string shown(url.substr(0, url.find_first_of("?#")));
  const auto slashes = shown.find("//");
  const std::size_t start = slashes == std::string::npos ? 0 : slashes + 2;
  const auto end = std::min(shown.find('/', start), shown.size());
  const auto at = std::string_view(shown).substr(start, end - start).rfind('@');
  if (at != std::string_view::npos) shown.replace(start, at, "***");
  return shown;
}

// The port as decimal text. Boost.URL 1.81 wraps some numbers above 65535 around (99999 reads
// as 34463), so the text is read here.
std::string port_of(std::string_view text) {
  if (text.empty()) throw ValueError("url port after \":\" is empty");
  unsigned port = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (ec != std::errc() || end != text.data() + text.size() || port == 0 || port > 65535) {
    throw ValueError("url port is out of range: " + quote_bytes(text));
  }
  return std::to_string(port);
}

}  // namespace

Target parse_url(std::string_view url) {
  auto parsed = boost::urls::parse_uri(url);
  if (!parsed) throw ValueError("url is not an absolute URL: " + quote_bytes(shown_url(url)));
  const boost::urls::url_view& u = *parsed;
  Target target;
  switch (u.scheme_id()) {
    case boost::urls::scheme::http:
      break;
    case boost::urls::scheme::https:
      target.tls = true;
      break;
    default:
      throw ValueError("url scheme must be http or https, not " + quote_bytes(u.scheme()));
  }
  if (u.has_userinfo()) throw ValueError("url must not carry user information");
  target.host = u.host_address();
  if (target.host.empty()) throw ValueError("url has no host: " + quote_bytes(shown_url(url)));
  target.host_is_name = u.host_type() == boost::urls::host_type::name;
  if (u.has_port()) {
    target.port = port_of(u.port());
  } else {
    target.port = target.tls ? "443" : "80";
  }
  target.host_header = u.encoded_host_and_port();
  target.path = u.encoded_target();
  if (target.path.empty() || target.path.front() != '/') target.path.insert(0, "/");
  return target;
}

Request make_request(const Target& target, const Json& headers, const Json& payload) {
  check_headers(headers);
  Request request;
  request.body = serialise(payload);
  request.head = build_head("POST", target, headers, request.body.size());
  request.secrets = Secrets(headers);
  return request;
}

Request make_get(const Target& target, const Json& headers) {
  check_headers(headers);
  Request request;
  request.head = build_head("GET", target, headers, std::nullopt);
  request.secrets = Secrets(headers);
  return request;
}

Request make_upload(const Target& target, const Json& headers, const MultipartForm& form) {
  check_headers(headers);
  for (const auto& field : form.fields) check_part_name("field name", field.name);
  check_part_name("field name", form.file_field);
  const std::string file_name =
      form.file_name.empty() ? form.path.filename().string() : form.file_name;
  check_part_name("file name", file_name);
  if (form.content_type.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    throw ValueError("multipart content type " + quote_bytes(form.content_type) +
                     " holds CR, LF or NUL");
  }
  const std::string boundary = boundary_for(form);
  Request request;
  for (const auto& field : form.fields) {
    request.body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + field.name +
                    "\"\r\n\r\n" + field.value + "\r\n";
  }
  request.body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" +
                  form.file_field + "\"; filename=\"" + file_name +
                  "\"\r\nContent-Type: " + form.content_type + "\r\n\r\n";
  request.file = FilePart{form.path, std::filesystem::file_size(form.path)};
  request.tail = "\r\n--" + boundary + "--\r\n";
  request.head = build_head("POST", target, headers,
                            request.body.size() + request.file->size + request.tail.size(),
                            "multipart/form-data; boundary=" + boundary);
  request.secrets = Secrets(headers);
  return request;
}

}  // namespace quellin::internal

namespace quellin {

void require_endpoint_url(std::string_view url) { internal::parse_url(url); }

std::string endpoint_name(std::string_view url) {
  const auto parsed = boost::urls::parse_uri(url);
  if (!parsed) return "the endpoint";
  return std::string(parsed->scheme()) + "://" + std::string(parsed->encoded_host_and_port()) +
         std::string(parsed->encoded_path());
}

}  // namespace quellin
