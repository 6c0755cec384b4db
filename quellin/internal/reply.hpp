// The reply half of the transport without a socket: the same parser limits and the same
// decoding as async_call_api, for the fuzz target and the parser tests.
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

namespace quellin::internal {

/// Decodes `bytes`, a whole HTTP/1.1 reply after which the connection closed, exactly as
/// async_call_api decodes what it reads: the JSON body of a 2xx reply, else HttpError; a
/// malformed or cut reply is a TransportError, a 2xx body that is not JSON a ValueError.
nlohmann::ordered_json parse_reply(std::string_view bytes);

}  // namespace quellin::internal
