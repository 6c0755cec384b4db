// The events of a JSON reader written down as one text, one token each, so that a test or a
// fuzz target compares what two readers read (header-only).
//
//   tavrin::testing::JsonTrace trace;
//   read_json(R"({"a":[1,-2.5]})", trace, 8);   // trace.events == "{ k(a) [ u1 f-2.5 ] }"
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrin::testing {

struct JsonTrace {
  void null() { add("null"); }
  void boolean(bool b) { add(b ? "true" : "false"); }
  void number_integer(std::int64_t n) { add("i" + std::to_string(n)); }
  void number_unsigned(std::uint64_t n) { add("u" + std::to_string(n)); }
  void number_float(double d) {
    char text[32];
    add("f" + std::string(text, std::to_chars(text, text + sizeof text, d).ptr));
  }
  void string(std::string_view s) { add("s(" + std::string(s) + ")"); }
  void key(std::string_view s) { add("k(" + std::string(s) + ")"); }
  void start_object() { add("{"); }
  void end_object() { add("}"); }
  void start_array() { add("["); }
  void end_array() { add("]"); }

  void add(const std::string& token) { events += events.empty() ? token : " " + token; }
  std::string events;
};

}  // namespace tavrin::testing
