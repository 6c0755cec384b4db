#include "tavrin/core/check.hpp"

#include <gtest/gtest.h>

#include "tavrin/core/errors.hpp"

namespace tavrin {
namespace {

TEST(RequireKind, AcceptsTheRightKindOnly) {
  EXPECT_NO_THROW(require_object(Value::object(), "labels"));
  EXPECT_NO_THROW(require_array(Value::array(), "data"));
  EXPECT_THROW(require_object(Value::array(), "labels"), TypeError);
  EXPECT_THROW(require_array(Value::object(), "data"), TypeError);
}

TEST(RequireKind, MessageNamesTheParameterAndTheKindFound) {
  const std::vector<std::pair<Value, std::string>> cases = {
      {Value(), "result must be a mapping, not null"},
      {Value(1), "result must be a mapping, not integer"},
      {Value(1.5), "result must be a mapping, not float"},
      {Value("x"), "result must be a mapping, not string"},
      {Value::array(), "result must be a mapping, not array"},
      {Value::binary({1}), "result must be a mapping, not binary"},
  };
  for (const auto& [value, message] : cases) {
    try {
      require_object(value, "result");
      ADD_FAILURE() << "no throw for " << message;
    } catch (const TypeError& e) {
      EXPECT_EQ(e.what(), message);
    }
  }
}

}  // namespace
}  // namespace tavrin
