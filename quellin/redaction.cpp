#include "quellin/internal/redaction.hpp"

#include "quellin/quellin.hpp"

#include <algorithm>
#include <cstdio>

#include "quellin/internal/http_token.hpp"
#include "tavrin/core/internal/excerpt.hpp"

namespace quellin::internal {

std::string printable(std::string_view bytes, std::size_t limit) {
  std::string out;
  const std::string_view shown = tavrin::internal::excerpt(bytes, limit);
  for (unsigned char c : shown) {
    if (c < 0x20 || c == 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (shown.size() < bytes.size()) out += "...";
  return out;
}

Secrets::Secrets(const Json& headers) {
  const auto add = [this](std::string_view value) {
    if (!value.empty()) values_.emplace_back(value);
  };
  for (const auto& [name, value] : headers.items()) {
    const std::string& text = value.get_ref<const std::string&>();
    add(text);
    const auto blank = text.find_first_of(" \t");
    if (blank != std::string::npos &&
        std::all_of(text.begin(), text.begin() + blank, is_token_char)) {
      const auto first = text.find_first_not_of(" \t", blank);
      if (first != std::string::npos) {
        add(std::string_view(text).substr(first, text.find_last_not_of(" \t") - first + 1));
      }
    }
  }
  // The longest first, so that a value holding another is replaced whole.
  std::sort(values_.begin(), values_.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

std::string Secrets::redact(std::string_view bytes, std::size_t limit) const {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && out.size() < limit;) {
    const auto secret = std::find_if(values_.begin(), values_.end(), [&](const std::string& v) {
      return bytes.substr(i).starts_with(v);
    });
    if (secret != values_.end()) {
      out += "***";
      i += secret->size();
    } else {
      out += bytes[i++];
    }
  }
  if (out.size() > limit) out.resize(limit);
  return out;
}

}  // namespace quellin::internal

namespace quellin {

std::string redact_headers(std::string_view text, const nlohmann::ordered_json& headers) {
  nlohmann::ordered_json texts = nlohmann::ordered_json::object();
  if (headers.is_object()) {
    for (const auto& [name, value] : headers.items()) {
      if (value.is_string()) texts[name] = value;
    }
  }
  return internal::Secrets(texts).redact(text, std::string::npos);
}

}  // namespace quellin
