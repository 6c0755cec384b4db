// Helpers for tests of file transfers (header-only): files of known bytes written and compared
// in pieces, and a multipart/form-data request taken apart as a server would.
//
//   write_pattern(path, 1 << 20, 7);   // 1 MiB of bytes drawn from seed 7
//   same_bytes(path, other)            // -> true when both files hold the same bytes
//   Multipart form = parse_multipart(server.requests()[0]);
//   form.parts[0].disposition          // -> R"(form-data; name="purpose")"
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::testing {

/// The `size` bytes that seed `seed` gives, each piece the same for the same offset.
inline std::string pattern_bytes(std::size_t size, std::uint32_t seed) {
  std::minstd_rand random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xff);
  return bytes;
}

/// Writes `size` bytes drawn from `seed` to `path`, in pieces.
inline void write_pattern(const std::filesystem::path& path, std::size_t size, std::uint32_t seed) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::minstd_rand random(seed);
  std::string piece;
  for (std::size_t done = 0; done < size; done += piece.size()) {
    piece.resize(std::min(kPiece, size - done));
    for (char& c : piece) c = static_cast<char>(random() & 0xff);
    out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
  }
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

/// Whether the files hold the same bytes; read in pieces.
inline bool same_bytes(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::ifstream x(a, std::ios::binary);
  std::ifstream y(b, std::ios::binary);
  if (!x || !y) return false;
  std::vector<char> p(1 << 20);
  std::vector<char> q(1 << 20);
  for (;;) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount()) return false;
    if (x.gcount() == 0) return true;
    if (!std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) return false;
  }
}

/// One part of a multipart body.
struct Part {
  std::string disposition;   // the Content-Disposition value
  std::string content_type;  // empty when the part has none
  std::string body;
};

/// A multipart/form-data request as received.
struct Multipart {
  std::string head;  // request line and header fields, up to the blank line
  std::vector<Part> parts;
};

/// `request` (raw bytes) taken apart: the boundary from its Content-Type, each part's fields
/// and bytes. Throws std::runtime_error for anything that is not exactly such a body, e.g.
/// bytes after the closing delimiter.
inline Multipart parse_multipart(std::string_view request) {
  const auto fail = [](const std::string& why) -> Multipart {
    throw std::runtime_error("not a multipart request: " + why);
  };
  const auto head_end = request.find("\r\n\r\n");
  if (head_end == std::string_view::npos) return fail("no end of head");
  Multipart form;
  form.head = request.substr(0, head_end);
  constexpr std::string_view kType = "\r\nContent-Type: multipart/form-data; boundary=";
  const auto type = form.head.find(kType);
  if (type == std::string::npos) return fail("no multipart Content-Type");
  const auto boundary_end = form.head.find("\r\n", type + kType.size());
  const std::string delimiter =
      "\r\n--" + form.head.substr(type + kType.size(), boundary_end - type - kType.size());
  // The first delimiter has no CRLF of its own before it.
  const std::string body = "\r\n" + std::string(request.substr(head_end + 4));
  if (!body.starts_with(delimiter + "\r\n")) return fail("no opening delimiter");
  std::size_t at = 0;
  for (std::size_t count = 0; count < 16; ++count) {
    const std::size_t start = at + delimiter.size() + 2;
    const auto next = body.find(delimiter, start);
    if (next == std::string::npos) return fail("a part without an end");
    const std::string_view part = std::string_view(body).substr(start, next - start);
    const auto fields_end = part.find("\r\n\r\n");
    if (fields_end == std::string_view::npos) return fail("a part without fields");
    Part parsed;
    parsed.body = part.substr(fields_end + 4);
    const std::string fields = "\r\n" + std::string(part.substr(0, fields_end));
    for (const auto& [name, into] : {std::pair{"\r\nContent-Disposition: ", &parsed.disposition},
                                     std::pair{"\r\nContent-Type: ", &parsed.content_type}}) {
      if (const auto f = fields.find(name); f != std::string::npos) {
        const auto from = f + std::string_view(name).size();
        *into = fields.substr(from, fields.find("\r\n", from) - from);
      }
    }
    form.parts.push_back(std::move(parsed));
    at = next;
    const std::string_view after = std::string_view(body).substr(next + delimiter.size());
    if (after == "--\r\n") return form;
    if (!after.starts_with("\r\n")) return fail("bytes after a delimiter");
  }
  return fail("more than 16 parts");
}

}  // namespace tavrin::testing
