// The OpenAI-compatible chat protocol: the request, the server-sent events of
// the answer, and the assistant message folded from its chunks.
#include "dravik_host.hpp"

#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/http.hpp"

namespace dravik::hostlib {

namespace {

Json parse_or_null(const std::string& text) {
  Json v = Json::parse(text, nullptr, false);
  return v.is_discarded() ? Json() : v;
}

// The server's own words from an error answer body.
std::pair<std::string, std::string> error_of(const std::string& body) {
  const Json v = parse_or_null(body);
  if (v.is_object()) {
    const Json* e = config::find(v, "error");
    if (e && e->is_object()) {
      const Json* m = config::find(*e, "message");
      const Json* t = config::find(*e, "type");
      return {m ? config::text_form(*m) : body, t && t->is_string() ? t->get<std::string>() : ""};
    }
    if (e && e->is_string()) return {e->get<std::string>(), ""};
    if (const Json* m = config::find(v, "message")) return {config::text_form(*m), ""};
  }
  return {config::trim(body.substr(0, 2000)), ""};
}

class SseChunkStream : public host::ChunkStream {
 public:
  SseChunkStream(http::Client& http, std::string base_url, Json body,
                 std::vector<std::pair<std::string, std::string>> headers)
      : http_(http), url_(chat_completions_url(base_url)), body_(std::move(body)), headers_(std::move(headers)) {}

  boost::asio::awaitable<std::optional<host::StreamChunk>> next() override {
    if (done_) co_return std::nullopt;
    if (!response_) co_await open();
    for (;;) {
      if (auto event = parser_.next_event()) {
        if (*event == "[DONE]") {
          done_ = true;
          response_->close();
          co_return std::nullopt;
        }
        // Garbage between events, and chunks nested absurdly deep, are skipped.
        std::optional<Json> parsed = parse_chunk(*event);
        if (!parsed || !parsed->is_object()) continue;
        Json data = std::move(*parsed);
        if (config::find(data, "error")) {  // the server failed in the middle
          const auto [message, type] = error_of(data.dump());
          throw ChatRequestError(200, message, type);
        }
        co_return host::StreamChunk{std::move(data)};
      }
      auto piece = co_await response_->read_some();
      if (!piece) throw RuntimeError("stream interrupted: the server closed the chat stream before its end");
      parser_.feed(*piece);
    }
  }

 private:
  boost::asio::awaitable<void> open() {
    http::Request req;
    req.method = "POST";
    req.url = url_;
    req.headers.emplace_back("Content-Type", "application/json");
    req.headers.emplace_back("Accept", "text/event-stream");
    for (const auto& h : headers_) req.headers.push_back(h);
    req.body = dump_json(body_);
    response_.emplace(co_await http_.send(std::move(req)));
    if (response_->status() != 200) {
      const int status = response_->status();
      std::string text;
      try {
        text = co_await response_->read_all(1 << 20);
      } catch (const http::TransportError&) {
      }
      const auto [message, type] = error_of(text);
      done_ = true;
      throw ChatRequestError(status, "chat request failed (HTTP " + std::to_string(status) + "): " + message, type);
    }
  }

  http::Client& http_;
  std::string url_;
  Json body_;
  std::vector<std::pair<std::string, std::string>> headers_;
  std::optional<http::Response> response_;
  SseParser parser_;
  bool done_ = false;
};

}  // namespace

bool ChatRequestError::context_exceeded() const {
  if (type == "exceed_context_size_error") return true;
  const std::string m = config::lower(what());
  return m.find("context") != std::string::npos &&
         (m.find("exceed") != std::string::npos || m.find("too long") != std::string::npos ||
          m.find("maximum context") != std::string::npos);
}

std::string chat_completions_url(const std::string& base_url) {
  std::string base = config::trim(base_url);
  while (!base.empty() && base.back() == '/') base.pop_back();
  if (base.size() >= 3 && base.compare(base.size() - 3, 3, "/v1") == 0) return base + "/chat/completions";
  return base + "/v1/chat/completions";
}

std::unique_ptr<host::ChunkStream> open_chat_stream(http::Client& http, std::string base_url, Json body,
                                                    std::vector<std::pair<std::string, std::string>> headers) {
  return std::make_unique<SseChunkStream>(http, std::move(base_url), std::move(body), std::move(headers));
}

Json chat_request_body(const std::string& model, const Json& messages, bool use_tools,
                       const std::optional<Json>& extra_body) {
  Json body = {{"model", model}, {"messages", messages}, {"stream", true},
               {"stream_options", {{"include_usage", true}}}};
  if (use_tools) body["tools"] = tool_definitions();
  if (extra_body && extra_body->is_object())
    for (auto it = extra_body->begin(); it != extra_body->end(); ++it) body[it.key()] = it.value();
  return body;
}

std::unique_ptr<host::ChunkStream> SseChatProtocol::stream_openai_chat(http::Client& http, const std::string& base_url,
                                                                       const std::string& model, const Json& messages,
                                                                       bool use_tools,
                                                                       const std::optional<Json>& extra_body) {
  return open_chat_stream(http, base_url, chat_request_body(model, messages, use_tools, extra_body));
}

// ------------------------------------------------------------ tool schemas

const Json& tool_definitions() {
  static const Json tools = [] {
    auto tool = [](const char* name, const char* description, Json properties, Json required) {
      Json parameters = Json::object();
      parameters["type"] = "object";
      parameters["properties"] = std::move(properties);
      parameters["required"] = std::move(required);
      Json function = Json::object();
      function["name"] = name;
      function["description"] = description;
      function["parameters"] = std::move(parameters);
      return Json{{"type", "function"}, {"function", std::move(function)}};
    };
    auto text = [](const char* d) { return Json{{"type", "string"}, {"description", d}}; };
    auto integer = [](const char* d) { return Json{{"type", "integer"}, {"description", d}}; };
    Json t = Json::array();
    t.push_back(tool("shell", "Run a shell command in the working directory (/bin/sh -c).",
                     {{"command", text("The command line")},
                      {"timeout_seconds", integer("Time-out in seconds (default 120)")}},
                     {"command"}));
    t.push_back(tool("read_file", "Read a text file, with line numbers.", {{"path", text("File path")}}, {"path"}));
    t.push_back(tool("write_file", "Create or replace a file with the given content.",
                     {{"path", text("File path")}, {"content", text("The whole new content")}}, {"path", "content"}));
    t.push_back(tool("edit_file",
                     "Edit a file: replace old_string (which must match exactly once unless replace_all) with "
                     "new_string, or apply a unified diff given as patch.",
                     {{"path", text("File path")},
                      {"old_string", text("Exact text to replace")},
                      {"new_string", text("Replacement text")},
                      {"replace_all", {{"type", "boolean"}, {"description", "Replace every match"}}},
                      {"patch", text("A unified diff of this file")}},
                     {"path"}));
    t.push_back(tool("load_file", "Load a large file into the conversation, up to a token budget.",
                     {{"path", text("File path")}, {"max_tokens", integer("Token budget")}}, {"path"}));
    t.push_back(tool("glob", "List files matching a glob pattern (** for any depth).",
                     {{"pattern", text("Glob pattern, e.g. src/**/*.cpp")}, {"path", text("Directory to search")}},
                     {"pattern"}));
    t.push_back(tool("grep", "Search file contents with a regular expression (ECMAScript).",
                     {{"pattern", text("Regular expression")},
                      {"path", text("Directory or file to search")},
                      {"glob", text("Only files matching this glob")},
                      {"ignore_case", {{"type", "boolean"}, {"description", "Case-insensitive"}}}},
                     {"pattern"}));
    t.push_back(tool("list_directory", "List a directory.", {{"path", text("Directory (default: .)")}}, Json::array()));
    t.push_back(tool("memory",
                     "Keep notes across sessions. scope: project or global; action: add, replace, remove or show.",
                     {{"scope", {{"type", "string"}, {"enum", {"project", "global"}}}},
                      {"action", {{"type", "string"}, {"enum", {"add", "replace", "remove", "show"}}}},
                      {"content", text("The note (add), the new notes (replace), or text to remove")}},
                     {"scope", "action"}));
    return t;
  }();
  return tools;
}

}  // namespace dravik::hostlib
