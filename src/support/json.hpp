// The one JSON type of the project: key order is kept, as configuration maps,
// chat messages and "messages.json" need.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace dravik {

using Json = nlohmann::ordered_json;

// Compact or indented JSON text; invalid UTF-8 in strings is written as U+FFFD
// instead of failing, since text from processes and the network may hold it.
inline std::string dump_json(const Json& value, int indent = -1) {
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

}  // namespace dravik
