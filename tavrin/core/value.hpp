// The one dynamic value type of tavrin: table cells, metadata, predictions, parsed replies.
//
//   tavrin::Value v = tavrin::Value::object();
//   v["产品"] = "手机";        // objects keep insertion order
//   v.dump()                  // -> {"产品":"手机"}
#pragma once

#include <nlohmann/json.hpp>

namespace tavrin {

/// null, bool, integer, float, string, array, object (insertion-ordered) or binary.
using Value = nlohmann::ordered_json;

}  // namespace tavrin
