// The JSON schema of the answer to one labelling request, for endpoints with structured
// outputs: one property per target field whose values are the labels the prompt shows, or null.
//
//   response_format(Value{{"类别", {"退款", "物流配送"}}}, {})
//   // -> {"type":"json_schema","json_schema":{"name":"labels","strict":true,"schema":
//   //      {"type":"object","properties":{"类别":{"type":["string","null"],
//   //       "enum":["退款","物流配送",null]}},"required":["类别"],"additionalProperties":false}}}
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tavrin/core/value.hpp"

namespace tavrin::labeling {

/// How much enum a schema may hold before an endpoint refuses it. The defaults are those that
/// OpenAI documents for structured outputs.
struct EnumLimits {
  std::size_t max_values = 1000;  // enum values in the whole schema, null included
  // When one enum holds more values than this, the enum strings of the whole schema may hold
  // at most `max_chars_with_large_enum` characters.
  std::size_t large_enum = 250;
  std::size_t max_chars_with_large_enum = 15000;
  std::size_t max_total_chars = 120000;  // property names and enum strings, in characters
};

/// The schema of an answer to a request whose prompt shows `choices` (an object of field name
/// to the array of its labels): an object with one required property per field, in order, and
/// no other. A field answers one of its labels or null ({"type": ["string", "null"], "enum":
/// [labels..., null]}); a field of `multi_label` answers an array of its labels, or null when
/// it has no answer ({"type": ["array", "null"], "items": {"type": "string", "enum":
/// [labels...]}}). Labels are given as text (str of a non-string), each once.
///
/// When the enums would exceed `limits`, the fields with the most labels (the first of equals)
/// lose their enum, one at a time, until the schema fits: such a field takes any string, and
/// the job's check settles its value as it does without a schema.
///
/// TypeError when `choices` is no object or a field's labels no array.
Value response_schema(const Value& choices, const std::vector<std::string>& multi_label,
                      const EnumLimits& limits = {});

/// response_schema wrapped as the "response_format" of a chat-completion request:
/// {"type": "json_schema", "json_schema": {"name": "labels", "strict": true, "schema": ...}}.
Value response_format(const Value& choices, const std::vector<std::string>& multi_label,
                      const EnumLimits& limits = {});

}  // namespace tavrin::labeling
