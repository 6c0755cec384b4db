// The limit on the nesting of a Value, shared by the parts of tavrin::core that read or write
// one, so that whatever walks a Value need not recurse further.
#pragma once

#include <cstddef>

namespace tavrin::core::internal {

/// How deep arrays and objects may nest in a Value that json_loads reads or repr and str
/// write: deeper ones are refused, as Python's json and repr give up near here too (Python's
/// recursion limit is 1000).
inline constexpr std::size_t kMaxValueDepth = 1000;

}  // namespace tavrin::core::internal
