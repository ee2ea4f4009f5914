// Compaction of a chat conversation: the older turns replaced by a summary
// the model writes of them, the last turn kept whole. A turn is a user
// message and everything after it up to the next user message; the
// system prompt stays the first message.
#pragma once

#include <cstddef>
#include <string>

#include "support/json.hpp"

namespace dravik::app::compaction {

// The user messages after the system prompt.
std::size_t turns(const Json& messages);

// The index of the last user message (0 without one).
std::size_t last_turn_start(const Json& messages);

// messages[from, to) as plain text for the summary request: each message
// under its role, tool calls with their arguments, tool outputs cut to
// their start. Over `max_chars`, the earliest part is left out.
std::string transcript(const Json& messages, std::size_t from, std::size_t to, std::size_t max_chars);

// The request for a summary of everything before `keep_from`: a system
// message of its own and one user message with the transcript, so that no
// chat template sees tool messages without tools, or two user messages in
// a row.
Json summary_request(const Json& messages, std::size_t keep_from, std::size_t max_chars);

// The conversation with messages[1, keep_from) replaced by the summary: a
// user message carrying it and a short assistant acknowledgement, so that
// the roles still alternate before the kept turn's user message.
Json with_summary(const Json& messages, std::size_t keep_from, const std::string& summary);

inline constexpr const char* kSummaryHeading = "[Summary of the earlier conversation]";

}  // namespace dravik::app::compaction
