// The chat protocol: streamed OpenAI-compatible chat completions, their
// request bodies and refusals, and the tool schemas sent with them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host_services/host_services.hpp"
#include "support/errors.hpp"
#include "support/json.hpp"

namespace dravik::hostlib {

// A chat request the server refused (status other than 200), with the
// server's own message.
class ChatRequestError : public RuntimeError {
 public:
  ChatRequestError(int status, std::string message, std::string type)
      : RuntimeError(std::move(message)), status(status), type(std::move(type)) {}
  int status;
  std::string type;  // the error "type" of the answer ("exceed_context_size_error"), or ""
  // True for the "prompt does not fit the context" answers.
  bool context_exceeded() const;
  // The figures a llama-server "exceed_context_size_error" carries: the
  // request's tokens and the server's context.
  std::optional<std::int64_t> n_prompt_tokens, n_ctx;
};

// The endpoint of chat completions under `base_url`: "/v1/chat/completions"
// appended, or "/chat/completions" when the base already ends in "/v1".
std::string chat_completions_url(const std::string& base_url);

// One JSON schema per tool the dispatcher knows, in the OpenAI "tools"
// format, with the argument names and types it validates.
const Json& tool_definitions();
// A sentence added to the shell tool's description (what the sandbox
// allows); empty: none.
void set_sandbox_note(std::string note);
// Tools offered besides the dispatcher's (an MCP server's), appended to
// tool_definitions() in this order; their calls are the host's to carry out.
void set_extra_tools(Json definitions);

// Opens one streamed chat completion: POSTs `body` (with "stream": true) to
// the chat endpoint of `base_url` with the extra `headers`, and yields each
// event's JSON as a chunk. Throws ChatRequestError for a non-200 answer and
// RuntimeError "stream interrupted" for a stream that ends without [DONE].
std::unique_ptr<host::ChunkStream> open_chat_stream(http::Client& http, std::string base_url, Json body,
                                                    std::vector<std::pair<std::string, std::string>> headers = {});

class SseChatProtocol : public host::ChatProtocol {
 public:
  std::unique_ptr<host::ChunkStream> stream_openai_chat(http::Client& http, const std::string& base_url,
                                                        const std::string& model, const Json& messages,
                                                        bool use_tools, const std::optional<Json>& extra_body) override;
};

// The request body of one chat turn: model, messages, "stream": true, the
// usage figures asked for, the tools when `use_tools`, then `extra_body`
// merged at the top level.
Json chat_request_body(const std::string& model, const Json& messages, bool use_tools,
                       const std::optional<Json>& extra_body);

}  // namespace dravik::hostlib
